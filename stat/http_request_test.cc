#include "stat/http_request.h"

#include <gtest/gtest.h>
#include <json/value.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/sealed.h"
#include "stat/endpoints.h"
#include "tests/support/test_machine.h"
#include "tools/serve/served_machine.h"
#include "tools/serve/services.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

using Clock = std::chrono::steady_clock;

KxHttpRequest Post(std::u16string url, std::string body) {
  KxHttpRequest request;
  request.url = std::move(url);
  request.method = 1;
  request.body = std::move(body);
  return request;
}

std::vector<std::string> Headers(const Json::Value& entry) {
  std::vector<std::string> lines;
  for (const Json::Value& line : entry["headers"]) lines.push_back(line.asString());
  return lines;
}

// One server per fault mode, shared by the tests of that mode.
template <const char* kFault>
class Served : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { served_ = std::make_unique<kxserve::ServedMachine>(kFault); }
  static void TearDownTestSuite() {
    int status = served_->Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "kxserve status " << status;
    served_.reset();
  }
  void SetUp() override { ASSERT_TRUE(served_->ready()) << "kxserve did not start"; }

  static inline std::unique_ptr<kxserve::ServedMachine> served_;
};

constexpr char kNormal[] = "none";
constexpr char kHang[] = "hang";
constexpr char kError500[] = "error500";
constexpr char kGarbage[] = "garbage";
constexpr char kOversized[] = "oversized";
constexpr char kWrongCert[] = "wrong-cert";
using HttpRequestTest = Served<kNormal>;
using HttpRequestHangTest = Served<kHang>;
using HttpRequestError500Test = Served<kError500>;
using HttpRequestGarbageTest = Served<kGarbage>;
using HttpRequestOversizedTest = Served<kOversized>;
using HttpRequestWrongCertTest = Served<kWrongCert>;

TEST(KxHttpRequest, Defaults) {
  KxHttpRequest request;
  EXPECT_TRUE(request.url.empty());
  EXPECT_EQ(request.method, 0);
  EXPECT_TRUE(request.body.empty());
  EXPECT_EQ(request.connect_timeout, 3);
  EXPECT_EQ(request.timeout, 3);
  EXPECT_TRUE(request.extra_headers.empty());
  using Entries = std::vector<std::pair<std::string, std::string>>;
  const Entries want = {
      {"Accept", "application/json"}, {"Content-Type", "application/json"}, {"charsets", "utf-8"}};
  EXPECT_EQ(Entries(request.headers.begin(), request.headers.end()), want);
}

TEST_F(HttpRequestTest, PostSendsHeaderLinesInOrder) {
  KxHttpRequest request = Post(kStatisticsRecordUrl, "hello");
  request.extra_headers = {"X-Extra: one", "X-Other:two"};
  std::string response = "stale";
  ASSERT_EQ(KxHttpClient(request).Perform(&response), 0);

  std::vector<Json::Value> received = served_->Received();
  ASSERT_FALSE(received.empty());
  const Json::Value& entry = received.back();
  EXPECT_EQ(entry["method"].asString(), "POST");
  EXPECT_EQ(entry["path"].asString(), "/st/pdf_c_0");
  EXPECT_EQ(entry["raw"].asString(), "hello");
  const std::vector<std::string> want = {"Host: stat.orvane.example",
                                         "Accept:application/json",
                                         "Content-Type:application/json",
                                         "charsets:utf-8",
                                         "X-Extra: one",
                                         "X-Other:two",
                                         "Content-Length: 5"};
  EXPECT_EQ(Headers(entry), want);
  // The body is no statistics envelope: the service refuses it, in its own envelope.
  EXPECT_EQ(DecryptStatistics(response),
            R"({"code":1,"msg":"the body is not an enciphered JSON document"})");
}

TEST_F(HttpRequestTest, PostWithEmptyBody) {
  std::string response;
  ASSERT_EQ(KxHttpClient(Post(kStatisticsClickUrl, "")).Perform(&response), 0);
  const Json::Value entry = served_->Received().back();
  EXPECT_EQ(entry["method"].asString(), "POST");
  EXPECT_EQ(entry["raw"].asString(), "");
  std::vector<std::string> headers = Headers(entry);
  EXPECT_NE(std::find(headers.begin(), headers.end(), "Content-Length: 0"), headers.end());
  EXPECT_FALSE(response.empty());
}

TEST_F(HttpRequestTest, GetSendsNoBody) {
  KxHttpRequest request = Post(std::u16string(kOfferPagesHost) + u"/nothing/here", "ignored");
  request.method = 0;
  std::string response;
  ASSERT_EQ(KxHttpClient(request).Perform(&response), 0);
  const Json::Value entry = served_->Received().back();
  EXPECT_EQ(entry["method"].asString(), "GET");
  EXPECT_EQ(entry["path"].asString(), "/nothing/here");
  EXPECT_EQ(entry["raw"].asString(), "");
  for (const std::string& line : Headers(entry))
    EXPECT_NE(line.rfind("Content-Length", 0), 0u) << line;
  // A 404 with a body is a successful exchange too.
  EXPECT_EQ(response, "no such page: /nothing/here\n");
}

TEST_F(HttpRequestTest, EnvelopeRoundTrip) {
  const std::string body =
      R"({"a001":{"uuid":"u","uuid1":"v","mac":"00-11-22-33-44-55","cpuNo":"x","biosNo":"b",)"
      R"("cpuNum":4,"memSize":16},"a002":{"osVer":"WIN10","osVerNo":"10.0.19045","bit":1,)"
      R"("vm":0,"ieVer":""},"a003":{"aapp":[],"ssvc":[]},"a004":{"product":"p","proVer":"1",)"
      R"("channel":"c","instId":"i" ,"instCh":"h","startId":"","startCh":""},)"
      R"("data":{"type":1,"instDate":"2024-01-01"}})";
  std::string response;
  ASSERT_EQ(KxHttpClient(Post(kStatisticsRecordUrl, EncryptStatistics(body))).Perform(&response),
            0);
  EXPECT_EQ(DecryptStatistics(response), R"({"code":0,"msg":"ok"})");
  EXPECT_EQ(served_->Received().back()["body"]["data"]["type"].asInt(), 1);
}

TEST_F(HttpRequestTest, HostNamesMatchWhateverTheirCase) {
  std::string response;
  EXPECT_EQ(KxHttpClient(Post(u"https://STAT.Orvane.EXAMPLE/st/pdf_c_0", "")).Perform(&response),
            0);
  EXPECT_FALSE(response.empty());
}

TEST_F(HttpRequestTest, UnroutedHostsAndPortsFail) {
  const size_t before = served_->Received().size();
  for (const char16_t* url :
       {u"https://other.orvane.example/st/pdf_c_0", u"https://stat.orvane.example:8443/st/pdf_c_0",
        u"http://stat.orvane.example/st/pdf_c_0", u"", u"not a url"}) {
    std::string response = "stale";
    EXPECT_EQ(KxHttpClient(Post(url, "x")).Perform(&response), 1) << win32::ToUtf8(url);
    EXPECT_EQ(response, "") << win32::ToUtf8(url);
  }
  EXPECT_EQ(served_->Received().size(), before);
}

TEST_F(HttpRequestTest, UnrepresentableCharactersBecomeUnderscores) {
  // U+0E01 (Thai) has no place in code page 936.
  KxHttpRequest request = Post(std::u16string(kOfferPagesHost) + u"/a\u0E01b", "");
  request.method = 0;
  std::string response;
  ASSERT_EQ(KxHttpClient(request).Perform(&response), 0);
  EXPECT_EQ(served_->Received().back()["path"].asString(), "/a_b");
}

TEST_F(HttpRequestTest, VerboseTraceStaysOffStandardError) {
  const std::string capture = served_->machine().root() + "/stderr.txt";
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  const int file = ::open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(file, 0);
  ::dup2(file, STDERR_FILENO);
  std::string response;
  const int32_t result = KxHttpClient(Post(kStatisticsClickUrl, "x")).Perform(&response);
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(kxtest::ReadHostFile(capture), "");
}

TEST(HttpRequestRoute, RefusedConnectionFails) {
  kxtest::TestMachine machine;
  Json::Value network(Json::objectValue);
  // Port 1 on loopback: nothing listens there.
  network["routes"]["stat.orvane.example:443"] = "127.0.0.1:1";
  machine.SetFact("network", network);
  std::string response = "stale";
  EXPECT_EQ(KxHttpClient(Post(kStatisticsClickUrl, "x")).Perform(&response), 1);
  EXPECT_EQ(response, "");
}

TEST_F(HttpRequestHangTest, NeverAnsweringServerFailsAfterTheTotalTimeOut) {
  KxHttpRequest request = Post(kStatisticsClickUrl, "x");
  request.timeout = 2;
  std::string response = "stale";
  const auto start = Clock::now();
  EXPECT_EQ(KxHttpClient(request).Perform(&response), 1);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
  EXPECT_LT(elapsed, std::chrono::seconds(2 + 3));
  EXPECT_EQ(response, "");
  // The request arrived and was logged although it was never answered.
  EXPECT_EQ(served_->Received().back()["raw"].asString(), "x");
}

TEST_F(HttpRequestError500Test, ServerErrorWithBodyIsSuccess) {
  std::string response;
  EXPECT_EQ(KxHttpClient(Post(kStatisticsClickUrl, "x")).Perform(&response), 0);
  EXPECT_EQ(response, kxserve::kError500Body);
}

TEST_F(HttpRequestGarbageTest, BodyBytesArriveUnchanged) {
  std::string response;
  EXPECT_EQ(KxHttpClient(Post(kStatisticsClickUrl, "x")).Perform(&response), 0);
  EXPECT_EQ(response.find('\0'), 8u);  // a zero byte does not cut the body
  EXPECT_EQ(response.size(), 29u);
  EXPECT_EQ(DecryptStatistics(response), "");
}

TEST_F(HttpRequestOversizedTest, ReplyOverTheCapFails) {
  std::string response;
  EXPECT_EQ(KxHttpClient(Post(kStatisticsClickUrl, "x")).Perform(&response), 1);
  EXPECT_LE(response.size(), KxHttpClient::kMaxResponseBytes);
}

TEST_F(HttpRequestWrongCertTest, CertificateOfAnotherCaIsRefused) {
  std::string response = "stale";
  EXPECT_EQ(KxHttpClient(Post(kStatisticsClickUrl, "x")).Perform(&response), 1);
  EXPECT_EQ(response, "");
  // The handshake failed, so no request reached the service.
  EXPECT_TRUE(served_->Received().empty());
}

}  // namespace
}  // namespace Kx
