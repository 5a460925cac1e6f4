#include "stat/record_report.h"

#include <ctime>
#include <mutex>

#include "base/registry.h"
#include "base/sealed.h"
#include "base/strings.h"
#include "stat/payloads.h"
#include "win32/time.h"

namespace Kx {
namespace {

constexpr char16_t kSentTodayMessage[] = u"统计未发送，由于今日已经有发送";
constexpr char16_t kRequestFailed[] = u"发送请求失败，错误码：%d";
constexpr char16_t kStampKeyType2[] = u"SOFTWARE\\ovapp\\01\\01";
constexpr char16_t kStampKeyType3[] = u"SOFTWARE\\ovapp\\01\\02";

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ull;

bool IsDailyType(int32_t type) { return type == 2 || type == 3; }
bool IsSentType(int32_t type) { return type >= 0 && type <= 3; }

uint64_t NowSeconds() {
  win32::FILETIME now;
  win32::GetSystemTimeAsFileTime(&now);
  const uint64_t units =
      (static_cast<uint64_t>(now.dwHighDateTime) << 32) | static_cast<uint64_t>(now.dwLowDateTime);
  return units < kUnixEpochInFileTime ? 0
                                      : (units - kUnixEpochInFileTime) / kFileTimeUnitsPerSecond;
}

// The local calendar year and day of the year of a time in seconds since 1970.
bool LocalDay(uint64_t seconds, int* year, int* day_of_year) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  // std::localtime shares one result buffer; it is only asked under this lock.
  static std::mutex* lock = new std::mutex;
  std::lock_guard<std::mutex> guard(*lock);
  const std::tm* local = std::localtime(&time);
  if (!local) return false;
  *year = local->tm_year;
  *day_of_year = local->tm_yday;
  return true;
}

void WriteDayStamp(const StatRecord& record, int32_t type) {
  const std::string sealed = Seal(WideToAnsi(UInt64ToString(NowSeconds())));
  RegWriteText(win32::HKEY_CURRENT_USER, DayStampKey(type), record.product, AnsiToWide(sealed),
               kRegistryView32);
}

}  // namespace

std::u16string DayStampKey(int32_t type) {
  if (type == 2) return kStampKeyType2;
  if (type == 3) return kStampKeyType3;
  return std::u16string();
}

bool SentToday(const StatRecord& record, int32_t type) {
  if (record.product.empty() || !IsDailyType(type)) return false;
  std::u16string stamp;
  if (!RegReadText(win32::HKEY_CURRENT_USER, DayStampKey(type), record.product, &stamp,
                   kRegistryView32) ||
      stamp.empty())
    return false;
  const std::string plain = Unseal(WideToAnsi(stamp));
  if (plain.empty()) return false;
  const uint64_t sent = ParseUInt64(AnsiToWide(plain).c_str());
  int sent_year = 0, sent_day = 0, year = 0, day = 0;
  if (!LocalDay(sent, &sent_year, &sent_day) || !LocalDay(NowSeconds(), &year, &day)) return false;
  return sent_year == year && sent_day == day;
}

bool SendRecord(const StatRecord& record, std::u16string* message) {
  if (IsDailyType(record.type) && SentToday(record, record.type)) {
    if (message) *message = kSentTodayMessage;
    return false;
  }
  if (!IsSentType(record.type)) return false;

  std::string reply;
  int32_t transport_result = 1;
  switch (PostStatisticsBody(BuildRecordBody(record), record.url, &reply, &transport_result)) {
    case StatPostOutcome::kConversionFailed:
      return false;
    case StatPostOutcome::kTransportFailed:
      if (message) FormatString(message, kRequestFailed, static_cast<int>(transport_result));
      return false;
    case StatPostOutcome::kExchanged:
      break;
  }
  if (message) *message = StatisticsReplyText(reply, nullptr);
  if (IsDailyType(record.type) && !record.product.empty()) WriteDayStamp(record, record.type);
  return true;
}

}  // namespace Kx
