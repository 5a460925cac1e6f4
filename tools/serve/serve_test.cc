#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/value.h>
#include <json/writer.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/sealed.h"
#include "stat/endpoints.h"
#include "tests/support/test_machine.h"
#include "tools/serve/served_machine.h"
#include "tools/serve/services.h"
#include "win32/machine.h"
#include "win32/network.h"

namespace kxserve {
namespace {

struct Answer {
  long status = 0;
  std::string body;
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// A POST straight through libcurl, trusting only the machine's CA and routed by its map.
bool RawPost(const std::string& host, const std::string& path, const std::string& body,
             Answer* answer) {
  std::string address;
  if (!win32::GetNetworkRoute(host, 443, &address)) return false;
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  const std::string url = "https://" + host + path;
  const std::string ca = win32::GetTrustedCaFile();
  curl_slist* connect_to = curl_slist_append(nullptr, (host + ":443:" + address).c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connect_to);
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer->body);
  const CURLcode result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer->status);
  curl_easy_cleanup(curl);
  curl_slist_free_all(connect_to);
  return result == CURLE_OK;
}

int Shell(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

constexpr char kMachineBlocks[] =
    R"("a001":{"uuid":"u","uuid1":"v","mac":"00-11-22-33-44-55","cpuNo":"x","biosNo":"b",)"
    R"("cpuNum":4,"memSize":16},"a002":{"osVer":"WIN10","osVerNo":"10.0.19045","bit":1,)"
    R"("vm":0,"ieVer":""},"a003":{"aapp":[2,9],"ssvc":[]},"a004":{"product":"p","proVer":"1",)"
    R"("channel":"c","instId":"i" ,"instCh":"h","startId":"","startCh":""})";

std::string Body(const std::string& rest) { return "{" + std::string(kMachineBlocks) + rest + "}"; }

class ServeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { served_ = std::make_unique<ServedMachine>(); }
  static void TearDownTestSuite() { served_.reset(); }
  void SetUp() override { ASSERT_TRUE(served_->ready()); }
  static inline std::unique_ptr<ServedMachine> served_;
};

TEST_F(ServeTest, StatisticsBodiesAreChecked) {
  struct Case {
    const char* path;
    std::string plain;
    long status;
    std::string msg;
  };
  const std::string record = "/st/pdf_c_0";
  const std::string click = "/st/pdf_c_click";
  const Case cases[] = {
      {"/st/pdf_c_0", Body(R"(,"data":{"type":1,"instDate":"2024-05-01"})"), 200, "ok"},
      {"/st/pdf_c_click",
       Body(R"(,"b000":{"b001":{"k":"v"},"b002":{"ZHQ_371":1},"b003":{"arr":["a","b"]}})"), 200,
       "ok"},
      {"/st/pdf_c_click", Body(R"(,"b000":{"b001":{},"b002":{},"b003":{}})"), 200, "ok"},
      {"/st/pdf_c_click", Body(R"(,"data":{"type":1,"instDate":""})"), 400, "b000 is missing"},
      {"/st/pdf_c_0", Body(R"(,"data":{"type":"1","instDate":""})"), 400,
       "data.type has the wrong type"},
      {"/st/pdf_c_0", Body(R"(,"data":{"type":1,"instDate":"","more":0})"), 400,
       "data.more is not expected"},
      {"/st/pdf_c_0", Body(R"(,"data":{"type":1,"instDate":""},"extra":{})"), 400,
       "extra is not expected"},
      {"/st/pdf_c_click", Body(R"(,"b000":{"b001":{},"b002":{"n":"1"},"b003":{}})"), 400,
       "b000.b002 has the wrong type"},
      {"/st/pdf_c_click", Body(R"(,"b000":{"b001":{},"b002":{},"b003":{"a":[1]}})"), 400,
       "b000.b003 has the wrong type"},
      {"/st/pdf_c_0", R"({"a001":{},"data":{"type":1,"instDate":""}})", 400, "a002 is missing"},
      {"/st/pdf_c_0", "{\"a001\":{", 400, "the body is not an enciphered JSON document"},
  };
  for (const Case& c : cases) {
    Answer answer;
    ASSERT_TRUE(RawPost(Kx::kStatisticsHostName, c.path, Kx::EncryptStatistics(c.plain), &answer))
        << c.plain;
    EXPECT_EQ(answer.status, c.status) << c.plain;
    Json::Value reply(Json::objectValue);
    reply["code"] = c.status == 200 ? 0 : 1;
    reply["msg"] = c.msg;
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    EXPECT_EQ(Kx::DecryptStatistics(answer.body), Json::writeString(writer, reply)) << c.plain;
  }
  // Every request was logged, decrypted where it is JSON.
  std::vector<Json::Value> received = served_->Received();
  ASSERT_GE(received.size(), std::size(cases));
  received.erase(received.begin(), received.end() - std::size(cases));
  EXPECT_EQ(received[0]["body"]["data"]["instDate"].asString(), "2024-05-01");
  EXPECT_EQ(received[1]["body"]["b000"]["b003"]["arr"][1].asString(), "b");
  EXPECT_EQ(received.back()["raw"].asString(), Kx::EncryptStatistics("{\"a001\":{"));
}

TEST_F(ServeTest, UnknownPathsAreNotFound) {
  Answer answer;
  ASSERT_TRUE(RawPost(Kx::kMarketingHostName, "/nowhere?x=1", "", &answer));
  EXPECT_EQ(answer.status, 404);
  EXPECT_EQ(served_->Received().back()["path"].asString(), "/nowhere");
}

TEST_F(ServeTest, ConcurrentRequestsAreLoggedWhole) {
  const size_t before = served_->Received().size();
  constexpr int kThreads = 6;
  constexpr int kEach = 4;
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &answered] {
      for (int i = 0; i < kEach; ++i) {
        Answer answer;
        const std::string body(3000 + t, static_cast<char>('a' + t));
        if (RawPost(Kx::kStatisticsHostName, "/st/pdf_c_click", body, &answer) &&
            answer.status == 400)
          ++answered;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), kThreads * kEach);
  std::vector<Json::Value> received = served_->Received();
  ASSERT_EQ(received.size(), before + kThreads * kEach);
  for (size_t i = before; i < received.size(); ++i) {
    const std::string raw = received[i]["raw"].asString();
    ASSERT_GE(raw.size(), 3000u);
    EXPECT_EQ(raw, std::string(raw.size(), raw[0]));
  }
}

TEST(Serve, CertificatesChainToTheMachineCaOnly) {
  ServedMachine served;
  ASSERT_TRUE(served.ready());
  const std::string pki = served.machine().root() + "/pki/";
  EXPECT_EQ(win32::GetTrustedCaFile(), served.machine().root() + "/pki/ca.pem");
  for (const char* host :
       {Kx::kStatisticsHostName, Kx::kMarketingHostName, Kx::kOfferPagesHostName}) {
    const std::string verify = "openssl verify -purpose sslserver -verify_hostname " +
                               std::string(host) + " -CAfile " + pki + "ca.pem ";
    EXPECT_EQ(Shell(verify + pki + "server.pem"), 0) << host;
    EXPECT_NE(Shell(verify + pki + "foreign-server.pem"), 0) << host;
    EXPECT_EQ(Shell("openssl verify -verify_hostname " + std::string(host) + " -CAfile " + pki +
                    "foreign-ca.pem " + pki + "foreign-server.pem"),
              0)
        << host;
  }
  EXPECT_NE(Shell("openssl verify -verify_hostname other.example -CAfile " + pki + "ca.pem " + pki +
                  "server.pem"),
            0);
  // Valid for years, not days.
  EXPECT_EQ(Shell("openssl x509 -checkend 31536000 -noout -in " + pki + "server.pem"), 0);
  EXPECT_EQ(Shell("openssl x509 -checkend 31536000 -noout -in " + pki + "ca.pem"), 0);
}

TEST(Serve, RestartKeepsCertificatesAndFacts) {
  ServedMachine served;
  ASSERT_TRUE(served.ready());
  kxtest::TestMachine& machine = served.machine();
  const std::string pki = machine.root() + "/pki/";
  const std::string ca = kxtest::ReadHostFile(pki + "ca.pem");
  const std::string cert = kxtest::ReadHostFile(pki + "server.pem");
  ASSERT_FALSE(ca.empty());
  machine.SetFact("ansi_code_page", 1252);
  Json::Value network = win32::CurrentMachine()->Config()["network"];
  network["routes"]["other.example:80"] = "127.0.0.1:9";
  machine.SetFact("network", network);

  ASSERT_TRUE(served.Restart("none"));
  EXPECT_EQ(kxtest::ReadHostFile(pki + "ca.pem"), ca);
  EXPECT_EQ(kxtest::ReadHostFile(pki + "server.pem"), cert);
  const Json::Value config = win32::CurrentMachine()->Config();
  EXPECT_EQ(config["ansi_code_page"].asInt(), 1252);
  EXPECT_EQ(config["windows_version"].asString(), "10.0.19045");
  EXPECT_EQ(config["network"]["routes"]["other.example:80"].asString(), "127.0.0.1:9");
  EXPECT_EQ(config["network"]["routes"].size(), 4u);
  Answer answer;
  EXPECT_TRUE(RawPost(Kx::kOfferPagesHostName, "/", "", &answer));
  EXPECT_EQ(answer.status, 404);

  // A damaged certificate is made again.
  kxtest::WriteHostFile(pki + "server.pem", "not a certificate");
  ASSERT_TRUE(served.Restart("none"));
  EXPECT_NE(kxtest::ReadHostFile(pki + "server.pem"), cert);
  EXPECT_TRUE(RawPost(Kx::kOfferPagesHostName, "/", "", &answer));
}

TEST(Serve, UsageErrorsExitWithTwo) {
  const std::string program = kxtest::BinDir() + "/kxserve";
  EXPECT_EQ(Shell(program), 2);
  EXPECT_EQ(Shell(program + " --machine /tmp --fault sideways"), 2);
  EXPECT_EQ(Shell(program + " --machine /tmp --port 70000"), 2);
  EXPECT_EQ(Shell(program + " --help"), 0);
  EXPECT_EQ(Shell(program + " --machine /nonexistent/machine"), 1);
}

TEST(ServeSlow, AnswersAfterTwoSeconds) {
  ServedMachine served("slow");
  ASSERT_TRUE(served.ready());
  const auto start = std::chrono::steady_clock::now();
  Answer answer;
  ASSERT_TRUE(RawPost(Kx::kStatisticsHostName, "/st/pdf_c_0",
                      Kx::EncryptStatistics(Body(R"(,"data":{"type":0,"instDate":""})")), &answer));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(Kx::DecryptStatistics(answer.body), R"({"code":0,"msg":"ok"})");
}

}  // namespace
}  // namespace kxserve
