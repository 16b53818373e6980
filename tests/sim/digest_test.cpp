// Digest verification: the product's exact header form, computed here
// independently with OpenSSL, curl's standard form, and the nonce policies.
#include <gtest/gtest.h>

#include "harness.h"

namespace simtest {
namespace {

struct DigestCase {
  std::string qop, algorithm;
  bool opaque;
};

void PrintTo(const DigestCase& c, std::ostream* os) {
  *os << "qop=" << c.qop << " algorithm=" << c.algorithm << (c.opaque ? " opaque" : "");
}

std::vector<std::string> digest_args(const DigestCase& c) {
  std::vector<std::string> args = {"--password",  "secret",
                                   "--qop",       c.qop.empty() ? "none" : c.qop,
                                   "--algorithm", c.algorithm.empty() ? "none" : c.algorithm};
  if (c.opaque) args.push_back("--opaque");
  return args;
}

std::string case_name(const testing::TestParamInfo<DigestCase>& info) {
  std::string name = (info.param.qop.empty() ? "noqop" : info.param.qop) + "_" +
                     (info.param.algorithm.empty() ? "noalg" : info.param.algorithm) +
                     (info.param.opaque ? "_opaque" : "");
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

std::vector<DigestCase> all_cases() {
  std::vector<DigestCase> cases;
  bool opaque = false;
  for (std::string qop : {"", "auth", "auth-int", "auth,auth-int"})
    for (std::string alg : {"", "MD5", "MD5-sess"})
      // MD5-sess needs the cnonce, which clients send only with a qop.
      if (!(qop.empty() && alg == "MD5-sess")) cases.push_back({qop, alg, opaque = !opaque});
  return cases;
}

class DigestMatrix : public testing::TestWithParam<DigestCase> {};

TEST_P(DigestMatrix, ProductFormAcceptedWrongPasswordRefused) {
  Sim sim(digest_args(GetParam()));
  HttpReply first = http_exchange(sim.address(), sim.port(), product_request("/admin/advanced"));
  ASSERT_EQ(status_of(first.text), 401);
  ASSERT_NE(first.text.find("WWW-Authenticate: Digest realm=\"QEL Device\",nonce=\""),
            std::string::npos)
      << first.text;

  ProductAuth good;
  HttpReply ok = http_exchange(sim.address(), sim.port(),
                               product_request("/admin/advanced", good.line(first.text)));
  EXPECT_EQ(status_of(ok.text), 200) << sim.log();
  EXPECT_NE(ok.text.find("Software Version:"), std::string::npos);
  if (!GetParam().qop.empty()) {
    EXPECT_NE(sim.log().find("HTTP-AUTH ok nc=000000001"), std::string::npos);
  }

  ProductAuth bad;
  bad.password = "wrong";
  bad.nc = 2;
  HttpReply refused = http_exchange(sim.address(), sim.port(),
                                    product_request("/admin/advanced", bad.line(first.text)));
  EXPECT_EQ(status_of(refused.text), 401);
  EXPECT_NE(refused.text.find("WWW-Authenticate: Digest"), std::string::npos);
  EXPECT_NE(sim.log().find("HTTP-AUTH bad reason=response"), std::string::npos);
}

TEST_P(DigestMatrix, CurlAcceptedWithRightPasswordOnly) {
  Sim sim(digest_args(GetParam()));
  std::string url =
      "http://" + sim.address() + ":" + std::to_string(sim.port()) + "/admin/advanced";
  std::string code;
  run_program({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--digest", "-u",
               "admin:secret", url},
              &code);
  EXPECT_EQ(code, "200") << sim.log();
  run_program(
      {"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--digest", "-u", "admin:wrong", url},
      &code);
  EXPECT_EQ(code, "401");
}

INSTANTIATE_TEST_SUITE_P(QopAlgorithm, DigestMatrix, testing::ValuesIn(all_cases()), case_name);

TEST(DigestForms, Md5SessFormCanBePinned) {
  struct Form {
    const char* flag;
    bool raw_ok, hex_ok;
  };
  for (Form f : {Form{"raw", true, false}, Form{"hex", false, true}, Form{"any", true, true}}) {
    Sim sim({"--password", "secret", "--qop", "auth", "--algorithm", "MD5-sess", "--md5-sess-form",
             f.flag});
    std::string challenge =
        http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).text;
    ProductAuth raw, hex;
    hex.hex_sess = true;
    hex.nc = 2;
    auto status = [&](const ProductAuth& a) {
      return status_of(http_exchange(sim.address(), sim.port(),
                                     product_request("/admin/advanced", a.line(challenge)))
                           .text);
    };
    EXPECT_EQ(status(raw), f.raw_ok ? 200 : 401) << f.flag;
    EXPECT_EQ(status(hex), f.hex_ok ? 200 : 401) << f.flag;
    if (f.raw_ok) {
      EXPECT_NE(sim.log().find("sess=raw"), std::string::npos);
    }
  }
}

TEST(DigestForms, UriMayBeEmptyOrTheTargetButNothingElse) {
  Sim sim({"--password", "secret", "--qop", "auth"});
  std::string challenge =
      http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).text;
  ProductAuth a;
  a.uri = "/admin/advanced";
  EXPECT_EQ(status_of(http_exchange(sim.address(), sim.port(),
                                    product_request("/admin/advanced", a.line(challenge)))
                          .text),
            200);
  a.uri = "/admin/other";
  a.nc = 2;
  EXPECT_EQ(status_of(http_exchange(sim.address(), sim.port(),
                                    product_request("/admin/advanced", a.line(challenge)))
                          .text),
            401);
  EXPECT_NE(sim.log().find("HTTP-AUTH bad reason=uri"), std::string::npos);
}

TEST(DigestForms, OverLongNonceAndRealmStillVerify) {
  std::string realm(4000, 'r');
  Sim sim({"--password", "secret", "--qop", "auth", "--nonce-length", "4000", "--realm", realm});
  std::string challenge =
      http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).text;
  EXPECT_EQ(directive(challenge, "nonce").size(), 4000u);
  EXPECT_EQ(directive(challenge, "realm"), realm);
  ProductAuth a;
  EXPECT_EQ(status_of(http_exchange(sim.address(), sim.port(),
                                    product_request("/admin/advanced", a.line(challenge)))
                          .text),
            200);
}

// Returns the nonce of a fresh 401.
std::string challenge_nonce(const Sim& sim) {
  return directive(
      http_exchange(sim.address(), sim.port(), product_request("/admin/advanced")).text, "nonce");
}

int authorised_status(const Sim& sim, const std::string& nonce, unsigned nc) {
  ProductAuth a;
  a.nc = nc;
  std::string fake_challenge = "realm=\"QEL Device\",nonce=\"" + nonce + "\",qop=\"auth\"";
  return status_of(http_exchange(sim.address(), sim.port(),
                                 product_request("/admin/advanced", a.line(fake_challenge)))
                       .text);
}

TEST(NoncePolicy, FixedKeepsOneNonce) {
  Sim sim({"--password", "secret", "--qop", "auth", "--nonce-policy", "fixed"});
  std::string nonce = challenge_nonce(sim);
  EXPECT_EQ(challenge_nonce(sim), nonce);
  for (unsigned nc = 1; nc <= 3; ++nc) EXPECT_EQ(authorised_status(sim, nonce, nc), 200);
}

TEST(NoncePolicy, RotateIssuesANewNonceOnEvery401) {
  Sim sim({"--password", "secret", "--qop", "auth", "--nonce-policy", "rotate"});
  std::string a = challenge_nonce(sim), b = challenge_nonce(sim);
  EXPECT_NE(a, b);
  EXPECT_EQ(authorised_status(sim, a, 1), 401) << "a superseded nonce is stale";
  EXPECT_NE(sim.log().find("reason=stale-nonce"), std::string::npos);
  std::string c = challenge_nonce(sim);
  EXPECT_EQ(authorised_status(sim, c, 1), 200);
  EXPECT_EQ(authorised_status(sim, c, 2), 200) << "success does not rotate";
}

TEST(NoncePolicy, ExpireRetiresTheNonceAfterNUses) {
  Sim sim({"--password", "secret", "--qop", "auth", "--nonce-policy", "expire:2"});
  std::string nonce = challenge_nonce(sim);
  EXPECT_EQ(authorised_status(sim, nonce, 1), 200);
  EXPECT_EQ(authorised_status(sim, nonce, 2), 200);
  EXPECT_EQ(authorised_status(sim, nonce, 3), 401);
  std::string fresh = challenge_nonce(sim);
  EXPECT_NE(fresh, nonce);
  EXPECT_EQ(authorised_status(sim, fresh, 1), 200);
}

}  // namespace
}  // namespace simtest
