#include "stat/statistics.h"

#include <algorithm>

#include "base/strings.h"
#include "stat/payloads.h"

namespace Kx {
namespace {

constexpr char16_t kDefaultChannel[] = u"666666";
constexpr char16_t kInvalidConfig[] = u"参数校验失败";
constexpr char16_t kBadName[] = u"统计字段名称不能为空或者长度不能大于8";
constexpr char16_t kBadValue[] = u"统计的值不能为空或者长度不能超过%d";
constexpr char16_t kTooManyKeys[] = u"统计字段数超过%d";
constexpr char16_t kTooManyElements[] = u"统计的数组元素个数超过%d";
constexpr char16_t kNothingToSend[] = u"无数据发送";
constexpr char16_t kConversionError[] = u"字符串转换错误";
constexpr char16_t kRequestFailed[] = u"发送请求失败，错误码：%d";

StatResult Failure(std::u16string message) { return StatResult{false, std::move(message)}; }

StatResult Failure(const char16_t* format, int number) {
  StatResult result{false, {}};
  FormatString(&result.message, format, number);
  return result;
}

bool ValidName(const std::u16string& name) {
  return !name.empty() && name.size() <= KxStatistics::kMaxNameUnits;
}

bool ValidValue(const std::u16string& value) {
  return !value.empty() && value.size() <= KxStatistics::kMaxValueUnits;
}

StatResult BadValue() { return Failure(kBadValue, static_cast<int>(KxStatistics::kMaxValueUnits)); }

// Whether a new key may join a store of this size.
bool RoomFor(size_t size, size_t limit) { return size <= limit; }

}  // namespace

KxStatistics& KxStatistics::Instance() {
  // Never destroyed: the reporter's worker may use it until the process ends.
  static KxStatistics* instance = new KxStatistics;
  return *instance;
}

StatResult KxStatistics::Init(const StatConfig& config) {
  if (config.product.empty() || config.url.empty() || config.product_version.empty())
    return Failure(kInvalidConfig);
  KxAutoLock guard(config_lock_);
  config_ = config;
  if (config_.channel.empty()) config_.channel = kDefaultChannel;
  return StatResult();
}

StatResult KxStatistics::Uninit() {
  {
    KxAutoLock guard(config_lock_);
    config_ = StatConfig();
  }
  ClearStores();
  return StatResult();
}

void KxStatistics::ClearStores() {
  {
    KxAutoLock guard(strings_lock_);
    strings_.clear();
  }
  {
    KxAutoLock guard(counters_lock_);
    counters_.clear();
  }
  KxAutoLock guard(arrays_lock_);
  arrays_.clear();
}

StatResult KxStatistics::SetString(const std::u16string& name, const std::u16string& value) {
  if (!ValidName(name)) return Failure(kBadName);
  if (!ValidValue(value)) return BadValue();
  KxAutoLock guard(strings_lock_);
  auto found = strings_.find(name);
  if (found != strings_.end()) {
    found->second = value;
    return StatResult();
  }
  if (!RoomFor(strings_.size(), kMaxFieldKeys))
    return Failure(kTooManyKeys, static_cast<int>(kMaxFieldKeys));
  strings_.emplace(name, value);
  return StatResult();
}

StatResult KxStatistics::SetCount(const std::u16string& name, int32_t count) {
  if (!ValidName(name)) return Failure(kBadName);
  KxAutoLock guard(counters_lock_);
  auto found = counters_.find(name);
  if (found != counters_.end()) {
    found->second = count;
    return StatResult();
  }
  if (!RoomFor(counters_.size(), kMaxFieldKeys))
    return Failure(kTooManyKeys, static_cast<int>(kMaxFieldKeys));
  counters_.emplace(name, count);
  return StatResult();
}

StatResult KxStatistics::AddCount(const std::u16string& name, int32_t count) {
  if (!ValidName(name)) return Failure(kBadName);
  KxAutoLock guard(counters_lock_);
  auto found = counters_.find(name);
  if (found != counters_.end()) {
    // Wraps like the 32-bit counter it is, without signed overflow.
    found->second =
        static_cast<int32_t>(static_cast<uint32_t>(found->second) + static_cast<uint32_t>(count));
    return StatResult();
  }
  if (!RoomFor(counters_.size(), kMaxFieldKeys))
    return Failure(kTooManyKeys, static_cast<int>(kMaxFieldKeys));
  counters_.emplace(name, count);
  return StatResult();
}

StatResult KxStatistics::AddArrayElement(const std::u16string& name, const std::u16string& value) {
  if (!ValidName(name)) return Failure(kBadName);
  if (!ValidValue(value)) return BadValue();
  KxAutoLock guard(arrays_lock_);
  auto found = arrays_.find(name);
  if (found == arrays_.end()) {
    if (!RoomFor(arrays_.size(), kMaxArrayKeys))
      return Failure(kTooManyKeys, static_cast<int>(kMaxArrayKeys));
    arrays_.emplace(name, std::vector<std::u16string>{value});
    return StatResult();
  }
  std::vector<std::u16string>& elements = found->second;
  if (std::find(elements.begin(), elements.end(), value) != elements.end()) return StatResult();
  if (!RoomFor(elements.size(), kMaxArrayElements))
    return Failure(kTooManyElements, static_cast<int>(kMaxArrayElements));
  elements.push_back(value);
  return StatResult();
}

StatResult KxStatistics::Send() {
  size_t stored = 0;
  {
    KxAutoLock guard(strings_lock_);
    stored += strings_.size();
  }
  {
    KxAutoLock guard(counters_lock_);
    stored += counters_.size();
  }
  {
    KxAutoLock guard(arrays_lock_);
    stored += arrays_.size();
  }
  if (stored == 0) return Failure(kNothingToSend);

  const StatConfig current = config();
  std::string reply;
  int32_t transport_result = 1;
  switch (PostStatisticsBody(BuildCustomBody(current), current.url, &reply, &transport_result)) {
    case StatPostOutcome::kConversionFailed:
      return Failure(kConversionError);
    case StatPostOutcome::kTransportFailed:
      return Failure(kRequestFailed, static_cast<int>(transport_result));
    case StatPostOutcome::kExchanged:
      break;
  }
  ClearStores();
  bool deciphered = false;
  StatResult result;
  result.message = StatisticsReplyText(reply, &deciphered);
  result.ok = deciphered;
  return result;
}

StatConfig KxStatistics::config() const {
  KxAutoLock guard(config_lock_);
  return config_;
}

std::u16string KxStatistics::StringFieldBlock() const {
  KxAutoLock guard(strings_lock_);
  return FormatStringFieldBlock(strings_);
}

std::u16string KxStatistics::CounterBlock() const {
  KxAutoLock guard(counters_lock_);
  return FormatCounterBlock(counters_);
}

std::u16string KxStatistics::ArrayBlock() const {
  KxAutoLock guard(arrays_lock_);
  return FormatArrayBlock(arrays_);
}

}  // namespace Kx
