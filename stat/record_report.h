// The record report: one enciphered record of the machine and the install to the
// statistics service, with a once-a-day limit for record types 2 and 3 kept as sealed
// day stamps under HKCU "SOFTWARE\ovapp\01".
#pragma once

#include <cstdint>
#include <string>

namespace Kx {

struct StatRecord {
  std::u16string product;
  std::u16string channel;
  std::u16string start_id;
  std::u16string start_channel;
  std::u16string product_version;
  std::u16string install_date;
  std::u16string url;
  // 0 and 1 are always sent, 2 and 3 at most once a local day each, others never.
  int32_t type = 0;
};

// Sends the record when its type allows it; the message gets the reply text or the reason
// it was not sent (it is left alone for a type that sends nothing). True when a reply came.
bool SendRecord(const StatRecord& record, std::u16string* message);

// Whether a record of this type (2 or 3) for the record's product was sent on the current
// local calendar day, by its day stamp.
bool SentToday(const StatRecord& record, int32_t type);

// The key of the day stamp of a record type: "SOFTWARE\ovapp\01\01" for 2,
// "SOFTWARE\ovapp\01\02" for 3, empty for the others.
std::u16string DayStampKey(int32_t type);

}  // namespace Kx
