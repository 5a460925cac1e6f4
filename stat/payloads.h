// The JSON texts of the two statistics requests (the custom-fields request and the record
// report), and their exchange with the statistics service.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stat/record_report.h"
#include "stat/statistics.h"

namespace Kx {

// The text as the inside of a JSON string: '"' and '\' are escaped, and so are the control
// characters below U+0020. Any other text comes back unchanged.
std::u16string JsonEscape(std::u16string_view text);

// Blocks "a001" (identities and hardware), "a002" (system), "a003" (known applications)
// and "a004" (product and channels, from the record), joined by ",".
std::u16string BuildMachineBlocks(const StatRecord& record);
// Block "b000" from the stores of KxStatistics::Instance().
std::u16string BuildCustomBlock();
// The inner blocks of "b000", one per store.
std::u16string FormatStringFieldBlock(const StatStringFields& fields);
std::u16string FormatCounterBlock(const StatCounters& counters);
std::u16string FormatArrayBlock(const StatArrays& arrays);
// The block "data" of a record report.
std::u16string BuildDataBlock(const StatRecord& record);

// "{", machine blocks, ",", custom block, "}"; the a004 block from the configuration.
std::u16string BuildCustomBody(const StatConfig& config);
// "{", machine blocks, ",", data block, "}".
std::u16string BuildRecordBody(const StatRecord& record);

enum class StatPostOutcome {
  kConversionFailed,  // the body is no valid UTF-16; nothing was sent
  kTransportFailed,   // the exchange failed (`*transport_result` tells with what)
  kExchanged,         // a reply came; `*reply` holds its raw bytes
};

// Converts the body to UTF-8, enciphers it and posts it to the URL with the default
// headers and time-outs.
StatPostOutcome PostStatisticsBody(const std::u16string& body, const std::u16string& url,
                                   std::string* reply, int32_t* transport_result);
// The reply as text: deciphered when it opens (then *deciphered is true), the raw bytes
// otherwise.
std::u16string StatisticsReplyText(const std::string& reply, bool* deciphered);

}  // namespace Kx
