#include "tools/serve/services.h"

#include <fcntl.h>
#include <json/reader.h>
#include <json/writer.h>
#include <unistd.h>

#include <memory>

#include "base/sealed.h"
#include "stat/endpoints.h"

namespace kxserve {
namespace {

std::string Narrow(std::u16string_view ascii) { return std::string(ascii.begin(), ascii.end()); }

std::optional<Json::Value> ParseJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["strictRoot"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (text.empty() || !reader->parse(text.data(), text.data() + text.size(), &value, &errors))
    return std::nullopt;
  return value;
}

std::string WriteJsonLine(const Json::Value& value) {
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  writer["emitUTF8"] = true;
  return Json::writeString(writer, value);
}

std::optional<Json::Value> DecodeStatistics(const std::string& body) {
  return ParseJson(Kx::DecryptStatistics(body));
}

// The statistics service's reply: an enciphered {"code":..,"msg":..}.
HttpReply StatisticsReply(int status, int code, const std::string& message) {
  Json::Value reply(Json::objectValue);
  reply["code"] = code;
  reply["msg"] = message;
  HttpReply out;
  out.status = status;
  out.body = Kx::EncryptStatistics(WriteJsonLine(reply));
  return out;
}

enum class Kind { kString, kInt, kIntList, kStringMap, kIntMap, kStringListMap, kObject };

struct Field {
  const char* name;
  Kind kind;
};

bool IsInt(const Json::Value& v) {
  return (v.type() == Json::intValue || v.type() == Json::uintValue) && v.isInt();
}

bool AllMembers(const Json::Value& v, bool (*check)(const Json::Value&)) {
  if (!v.isObject()) return false;
  for (const Json::Value& member : v)
    if (!check(member)) return false;
  return true;
}

bool IsList(const Json::Value& v, bool (*check)(const Json::Value&)) {
  if (!v.isArray()) return false;
  for (const Json::Value& item : v)
    if (!check(item)) return false;
  return true;
}

bool IsString(const Json::Value& v) { return v.isString(); }
bool IsStringList(const Json::Value& v) { return IsList(v, IsString); }

bool HasKind(const Json::Value& v, Kind kind) {
  switch (kind) {
    case Kind::kString:
      return v.isString();
    case Kind::kInt:
      return IsInt(v);
    case Kind::kIntList:
      return IsList(v, IsInt);
    case Kind::kStringMap:
      return AllMembers(v, IsString);
    case Kind::kIntMap:
      return AllMembers(v, IsInt);
    case Kind::kStringListMap:
      return AllMembers(v, IsStringList);
    case Kind::kObject:
      return v.isObject();
  }
  return false;
}

// value must be an object with exactly these members, each of its kind.
bool CheckObject(const Json::Value& value, const std::string& where,
                 std::initializer_list<Field> fields, std::string* why) {
  if (!value.isObject()) {
    *why = where + " is not an object";
    return false;
  }
  for (const Field& field : fields) {
    const std::string name = where.empty() ? field.name : where + "." + field.name;
    if (!value.isMember(field.name)) {
      *why = name + " is missing";
      return false;
    }
    if (!HasKind(value[field.name], field.kind)) {
      *why = name + " has the wrong type";
      return false;
    }
  }
  if (value.size() != fields.size()) {
    for (const std::string& member : value.getMemberNames()) {
      bool known = false;
      for (const Field& field : fields) known = known || member == field.name;
      if (!known) {
        *why = (where.empty() ? member : where + "." + member) + " is not expected";
        return false;
      }
    }
  }
  return true;
}

bool CheckMachineBlocks(const Json::Value& body, std::string* why) {
  return CheckObject(body["a001"], "a001",
                     {{"uuid", Kind::kString},
                      {"uuid1", Kind::kString},
                      {"mac", Kind::kString},
                      {"cpuNo", Kind::kString},
                      {"biosNo", Kind::kString},
                      {"cpuNum", Kind::kInt},
                      {"memSize", Kind::kInt}},
                     why) &&
         CheckObject(body["a002"], "a002",
                     {{"osVer", Kind::kString},
                      {"osVerNo", Kind::kString},
                      {"bit", Kind::kInt},
                      {"vm", Kind::kInt},
                      {"ieVer", Kind::kString}},
                     why) &&
         CheckObject(body["a003"], "a003", {{"aapp", Kind::kIntList}, {"ssvc", Kind::kIntList}},
                     why) &&
         CheckObject(body["a004"], "a004",
                     {{"product", Kind::kString},
                      {"proVer", Kind::kString},
                      {"channel", Kind::kString},
                      {"instId", Kind::kString},
                      {"instCh", Kind::kString},
                      {"startId", Kind::kString},
                      {"startCh", Kind::kString}},
                     why);
}

}  // namespace

bool CheckStatisticsBody(std::string_view path, const Json::Value& body, std::string* why) {
  const bool record = path == Narrow(Kx::kStatisticsRecordPath);
  if (!record && path != Narrow(Kx::kStatisticsClickPath)) {
    *why = "not a statistics path";
    return false;
  }
  const char* last = record ? "data" : "b000";
  if (!CheckObject(body, "",
                   {{"a001", Kind::kObject},
                    {"a002", Kind::kObject},
                    {"a003", Kind::kObject},
                    {"a004", Kind::kObject},
                    {last, Kind::kObject}},
                   why) ||
      !CheckMachineBlocks(body, why))
    return false;
  if (record)
    return CheckObject(body["data"], "data", {{"type", Kind::kInt}, {"instDate", Kind::kString}},
                       why);
  return CheckObject(
      body["b000"], "b000",
      {{"b001", Kind::kStringMap}, {"b002", Kind::kIntMap}, {"b003", Kind::kStringListMap}}, why);
}

bool ParseFault(std::string_view name, Fault* fault) {
  static const std::pair<std::string_view, Fault> kNames[] = {
      {"none", Fault::kNone},
      {"slow", Fault::kSlow},
      {"hang", Fault::kHang},
      {"error500", Fault::kError500},
      {"garbage", Fault::kGarbage},
      {"oversized", Fault::kOversized},
      {"wrong-cert", Fault::kWrongCert},
  };
  for (const auto& [text, value] : kNames) {
    if (text == name) {
      *fault = value;
      return true;
    }
  }
  return false;
}

Services::Services(std::string log_path, Fault fault)
    : log_path_(std::move(log_path)), fault_(fault) {
  AddStatisticsEndpoints();
}

void Services::AddStatisticsEndpoints() {
  for (const char16_t* path : {Kx::kStatisticsClickPath, Kx::kStatisticsRecordPath}) {
    const std::string name = Narrow(path);
    endpoints_[name] = Endpoint{
        DecodeStatistics, [name](const HttpRequest&, const std::optional<Json::Value>& body) {
          if (!body) return StatisticsReply(400, 1, "the body is not an enciphered JSON document");
          std::string why;
          if (!CheckStatisticsBody(name, *body, &why)) return StatisticsReply(400, 1, why);
          return StatisticsReply(200, 0, "ok");
        }};
  }
}

HttpReply Services::Handle(const HttpRequest& request) {
  auto found = endpoints_.find(request.path);
  const Endpoint* endpoint = found == endpoints_.end() ? nullptr : &found->second;
  // Requests to other paths are logged as statistics bodies would be.
  std::optional<Json::Value> body =
      endpoint ? endpoint->decode(request.body) : DecodeStatistics(request.body);
  Log(request, body);

  switch (fault_) {
    case Fault::kHang:
    case Fault::kError500:
    case Fault::kGarbage:
    case Fault::kOversized:
      return FaultReply();
    default:
      break;
  }
  HttpReply reply;
  if (endpoint) {
    reply = endpoint->answer(request, body);
  } else {
    reply.status = 404;
    reply.body = "no such page: " + request.path + "\n";
  }
  if (fault_ == Fault::kSlow) reply.delay_ms = kSlowDelayMs;
  return reply;
}

HttpReply Services::FaultReply() const {
  HttpReply reply;
  switch (fault_) {
    case Fault::kHang:
      reply.never_answer = true;
      break;
    case Fault::kError500:
      reply.status = 500;
      reply.body = kError500Body;
      break;
    case Fault::kGarbage:
      reply.content_type = "application/octet-stream";
      reply.body = std::string("\x89garbage\0\xff{not an envelope}!!", 29);
      break;
    case Fault::kOversized: {
      static constexpr char kPattern[] = "0123456789abcdef";
      reply.body.reserve(kOversizedBytes);
      while (reply.body.size() < kOversizedBytes) reply.body += kPattern;
      reply.body.resize(kOversizedBytes);
      break;
    }
    default:
      break;
  }
  return reply;
}

void Services::Log(const HttpRequest& request, const std::optional<Json::Value>& body) {
  Json::Value entry(Json::objectValue);
  entry["path"] = request.path;
  entry["method"] = request.method;
  Json::Value& headers = entry["headers"] = Json::Value(Json::arrayValue);
  for (const std::string& line : request.header_lines) headers.append(line);
  if (body) {
    entry["body"] = *body;
  } else {
    entry["raw"] = request.body;
  }
  const std::string line = WriteJsonLine(entry) + "\n";

  std::lock_guard<std::mutex> lock(log_mutex_);
  int fd = ::open(log_path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
}

}  // namespace kxserve
