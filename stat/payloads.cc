#include "stat/payloads.h"

#include "base/install_record.h"
#include "base/sealed.h"
#include "base/strings.h"
#include "stat/fingerprint.h"
#include "stat/http_request.h"
#include "stat/identity.h"
#include "stat/known_apps.h"

namespace Kx {
namespace {

constexpr char16_t kBlockA001[] =
    u"\"a001\":{\"uuid\":\"%s\",\"uuid1\":\"%s\",\"mac\":\"%s\",\"cpuNo\":\"%s\",\"biosNo\":"
    u"\"%s\",\"cpuNum\":%d,\"memSize\":%d}";
constexpr char16_t kBlockA002[] =
    u"\"a002\":{\"osVer\":\"%s\",\"osVerNo\":\"%s\",\"bit\":%d,\"vm\":%d,\"ieVer\":\"%s\"}";
constexpr char16_t kBlockA003[] = u"\"a003\":{%s,%s}";
// The blank before ",\"instCh\"" is part of the layout the service expects.
constexpr char16_t kBlockA004[] =
    u"\"a004\":{\"product\":\"%s\",\"proVer\":\"%s\",\"channel\":\"%s\",\"instId\":\"%s\" ,"
    u"\"instCh\":\"%s\",\"startId\":\"%s\",\"startCh\":\"%s\"}";
constexpr char16_t kDataBlock[] = u"\"data\":{\"type\":%d,\"instDate\":\"%s\"}";
constexpr char16_t kStringEntry[] = u"\"%s\":\"%s\"";
constexpr char16_t kCounterEntry[] = u"\"%s\":%d";
constexpr char16_t kArrayEntry[] = u"\"%s\":%s";
constexpr char16_t kArrayElement[] = u"\"%s\"";

// The known-application keys that the "aapp" list looks at.
constexpr int32_t kFirstAppKey = 1;
constexpr int32_t kLastAppKey = 11;

constexpr int kGibibyteShift = 30;

std::u16string Escaped(std::u16string_view text) { return JsonEscape(text); }

std::u16string Format(const char16_t* format, auto... args) {
  std::u16string text;
  FormatString(&text, format, args...);
  return text;
}

std::u16string BlockA001() {
  const std::u16string uuid = Escaped(GetInstallUuid());
  const std::u16string uuid1 = Escaped(ComputeMachineUuid());
  const std::u16string mac = Escaped(GetAdapterAddressText());
  const std::u16string cpu = Escaped(GetProcessorIdText());
  const std::u16string bios = Escaped(GetBiosSerialText());
  const int memory = static_cast<int>(GetTotalMemory() >> kGibibyteShift);
  return Format(kBlockA001, uuid.c_str(), uuid1.c_str(), mac.c_str(), cpu.c_str(), bios.c_str(),
                static_cast<int>(GetProcessorCount()), memory);
}

std::u16string BlockA002() {
  const std::u16string name = Escaped(GetOsName());
  const std::u16string version = Escaped(GetOsVersionText());
  const std::u16string ie = Escaped(GetIeVersionText());
  return Format(kBlockA002, name.c_str(), version.c_str(), static_cast<int>(Is64BitOs()),
                static_cast<int>(IsVirtualMachine()), ie.c_str());
}

std::u16string BlockA003() {
  std::u16string apps = u"\"aapp\":[";
  bool first = true;
  for (int32_t key = kFirstAppKey; key <= kLastAppKey; ++key) {
    int32_t state = kKnownAppUndetermined;
    if (!CheckKnownApp(key, &state) || state != kKnownAppPresent) continue;
    if (!first) apps += u',';
    apps += IntToString(key);
    first = false;
  }
  apps += u']';
  const std::u16string services = u"\"ssvc\":[]";
  return Format(kBlockA003, apps.c_str(), services.c_str());
}

std::u16string BlockA004(const StatRecord& record) {
  const std::u16string product = Escaped(record.product);
  const std::u16string version = Escaped(record.product_version);
  const std::u16string channel = Escaped(record.channel);
  const std::u16string install_id = Escaped(GetInstallPid(record.product));
  const std::u16string install_channel = Escaped(GetInstallPch(record.product));
  const std::u16string start_id = Escaped(record.start_id);
  const std::u16string start_channel = Escaped(record.start_channel);
  return Format(kBlockA004, product.c_str(), version.c_str(), channel.c_str(), install_id.c_str(),
                install_channel.c_str(), start_id.c_str(), start_channel.c_str());
}

}  // namespace

std::u16string JsonEscape(std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string out;
  out.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'"':
        out += u"\\\"";
        break;
      case u'\\':
        out += u"\\\\";
        break;
      case u'\b':
        out += u"\\b";
        break;
      case u'\f':
        out += u"\\f";
        break;
      case u'\n':
        out += u"\\n";
        break;
      case u'\r':
        out += u"\\r";
        break;
      case u'\t':
        out += u"\\t";
        break;
      default:
        if (c < 0x20) {
          out += u"\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::u16string BuildMachineBlocks(const StatRecord& record) {
  return BlockA001() + u"," + BlockA002() + u"," + BlockA003() + u"," + BlockA004(record);
}

std::u16string FormatStringFieldBlock(const StatStringFields& fields) {
  std::u16string block = u"\"b001\":{";
  bool first = true;
  for (const auto& [name, value] : fields) {
    if (!first) block += u',';
    block += Format(kStringEntry, Escaped(name).c_str(), Escaped(value).c_str());
    first = false;
  }
  return block + u"}";
}

std::u16string FormatCounterBlock(const StatCounters& counters) {
  std::u16string block = u"\"b002\":{";
  bool first = true;
  for (const auto& [name, count] : counters) {
    if (!first) block += u',';
    block += Format(kCounterEntry, Escaped(name).c_str(), static_cast<int>(count));
    first = false;
  }
  return block + u"}";
}

std::u16string FormatArrayBlock(const StatArrays& arrays) {
  std::u16string block = u"\"b003\":{";
  bool first = true;
  for (const auto& [name, elements] : arrays) {
    std::u16string list = u"[";
    for (size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) list += u',';
      list += Format(kArrayElement, Escaped(elements[i]).c_str());
    }
    list += u']';
    if (!first) block += u',';
    block += Format(kArrayEntry, Escaped(name).c_str(), list.c_str());
    first = false;
  }
  return block + u"}";
}

std::u16string BuildCustomBlock() {
  const KxStatistics& statistics = KxStatistics::Instance();
  return u"\"b000\":{" + statistics.StringFieldBlock() + u"," + statistics.CounterBlock() + u"," +
         statistics.ArrayBlock() + u"}";
}

std::u16string BuildDataBlock(const StatRecord& record) {
  return Format(kDataBlock, static_cast<int>(record.type), Escaped(record.install_date).c_str());
}

std::u16string BuildCustomBody(const StatConfig& config) {
  StatRecord record;
  record.product = config.product;
  record.channel = config.channel;
  record.start_id = config.start_id;
  record.start_channel = config.start_channel;
  record.product_version = config.product_version;
  record.url = config.url;
  return u"{" + BuildMachineBlocks(record) + u"," + BuildCustomBlock() + u"}";
}

std::u16string BuildRecordBody(const StatRecord& record) {
  return u"{" + BuildMachineBlocks(record) + u"," + BuildDataBlock(record) + u"}";
}

StatPostOutcome PostStatisticsBody(const std::u16string& body, const std::u16string& url,
                                   std::string* reply, int32_t* transport_result) {
  std::string utf8;
  if (!WideToUtf8(body.data(), body.size(), &utf8)) return StatPostOutcome::kConversionFailed;
  KxHttpRequest request;
  request.url = url;
  request.method = 1;
  request.body = EncryptStatistics(utf8);
  KxHttpClient client(request);
  const int32_t result = client.Perform(reply);
  if (transport_result) *transport_result = result;
  return result == 0 ? StatPostOutcome::kExchanged : StatPostOutcome::kTransportFailed;
}

std::u16string StatisticsReplyText(const std::string& reply, bool* deciphered) {
  const std::string plain = DecryptStatistics(reply);
  if (deciphered) *deciphered = !plain.empty();
  const std::string& text = plain.empty() ? reply : plain;
  std::u16string wide;
  Utf8ToWide(text.data(), text.size(), &wide);
  return wide;
}

}  // namespace Kx
