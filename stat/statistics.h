// KxStatistics: the process-wide store of named statistics fields (string fields, counters,
// string arrays) that is sent as one enciphered request and emptied after a successful
// exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/sync.h"

namespace Kx {

struct StatConfig {
  std::u16string product;
  std::u16string channel;
  std::u16string start_id;
  std::u16string start_channel;
  std::u16string url;
  std::u16string product_version;
};

struct StatResult {
  bool ok = true;
  std::u16string message;
};

// Keys are ordered by their UTF-16 units.
using StatStringFields = std::map<std::u16string, std::u16string>;
using StatCounters = std::map<std::u16string, int32_t>;
// Distinct elements in insertion order.
using StatArrays = std::map<std::u16string, std::vector<std::u16string>>;

class KxStatistics : public KxNonCopyable {
 public:
  // Above these sizes a new key (or array element) is refused; updates never are.
  static constexpr size_t kMaxFieldKeys = 256;
  static constexpr size_t kMaxArrayKeys = 128;
  static constexpr size_t kMaxArrayElements = 64;
  static constexpr size_t kMaxNameUnits = 8;
  static constexpr size_t kMaxValueUnits = 1024;

  // Created on first use, thread-safely; never destroyed before the process ends.
  static KxStatistics& Instance();

  // Needs a product, a URL and a product version; an empty channel becomes "666666".
  // Stored fields stay.
  StatResult Init(const StatConfig& config);
  // Clears the configuration and all three stores.
  StatResult Uninit();

  StatResult SetString(const std::u16string& name, const std::u16string& value);
  StatResult SetCount(const std::u16string& name, int32_t count);
  // Adds to the counter, creating it with `count` when absent.
  StatResult AddCount(const std::u16string& name, int32_t count);
  // Appends the value unless the array already holds it.
  StatResult AddArrayElement(const std::u16string& name, const std::u16string& value);

  // Sends the configuration's custom-fields request with everything stored; the stores are
  // emptied after a successful exchange and kept after a failed one.
  StatResult Send();

  StatConfig config() const;
  // The three inner blocks of the custom block ("b001", "b002", "b003"), each built under
  // its store's lock.
  std::u16string StringFieldBlock() const;
  std::u16string CounterBlock() const;
  std::u16string ArrayBlock() const;

 private:
  KxStatistics() = default;
  ~KxStatistics() = default;

  void ClearStores();

  mutable KxCriticalSection config_lock_;
  StatConfig config_;
  mutable KxCriticalSection strings_lock_;
  StatStringFields strings_;
  mutable KxCriticalSection counters_lock_;
  StatCounters counters_;
  mutable KxCriticalSection arrays_lock_;
  StatArrays arrays_;
};

}  // namespace Kx
