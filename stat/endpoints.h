// The maker's service endpoints, compiled in. The hosts are reserved names: on a machine,
// its network map routes them to the maker's services on loopback.
#pragma once

namespace Kx {

// Host names, as the services' certificate names them.
inline constexpr char kStatisticsHostName[] = "stat.orvane.example";
inline constexpr char kMarketingHostName[] = "mk.orvane.example";
inline constexpr char kOfferPagesHostName[] = "www.orvane.example";

// Statistics service.
inline constexpr char16_t kStatisticsHost[] = u"https://stat.orvane.example";
inline constexpr char16_t kStatisticsClickPath[] = u"/st/pdf_c_click";
inline constexpr char16_t kStatisticsRecordPath[] = u"/st/pdf_c_0";
inline constexpr char16_t kStatisticsClickUrl[] = u"https://stat.orvane.example/st/pdf_c_click";
inline constexpr char16_t kStatisticsRecordUrl[] = u"https://stat.orvane.example/st/pdf_c_0";

// Marketing service.
inline constexpr char16_t kMarketingHost[] = u"https://mk.orvane.example";
inline constexpr char16_t kMarketingActivityPath[] = u"/marketing/activity/get";
inline constexpr char16_t kMarketingActivityUrl[] =
    u"https://mk.orvane.example/marketing/activity/get";

// Offer pages and their pictures.
inline constexpr char16_t kOfferPagesHost[] = u"https://www.orvane.example";

}  // namespace Kx
