// Key generation and the user certificate against OpenSSL, interleaved in
// one run so that a noisy machine affects both sides alike, in the thread's
// CPU time. Prints medians and ratios, and reports them (bench/report.h).
//   rsa_bench [key rounds (default 31)] [certificate batches (default 31)]
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/report.h"
#include "rsa/rsa.h"

namespace {

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The CPU time of work on this thread, in milliseconds.
template <typename F>
double Milliseconds(F&& work) {
  const double start = bench::ThreadCpuSeconds();
  work();
  return (bench::ThreadCpuSeconds() - start) * 1e3;
}

RSA* OpenSslKey() {
  RSA* rsa = RSA_new();
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  RSA_generate_key_ex(rsa, 1024, e, nullptr);
  BN_free(e);
  return rsa;
}

}  // namespace

int main(int argc, char** argv) {
  const int keyRounds = argc > 1 ? std::atoi(argv[1]) : 31;
  const int certificateBatches = argc > 2 ? std::atoi(argv[2]) : 31;
  constexpr int kCertificatesPerBatch = 50;

  std::vector<double> ours, theirs;
  vesk::rsa::RsaFacility facility;
  for (int i = 0; i < keyRounds; ++i) {
    ours.push_back(Milliseconds([&] { facility.GenerateKeyPair(1024); }));
    theirs.push_back(Milliseconds([] { RSA_free(OpenSslKey()); }));
  }
  const double keyOurs = Median(ours), keyTheirs = Median(theirs);

  // The certificate: a time stamp through OAEP and the private operation,
  // as base64; OpenSSL's side is its bare private operation on one block.
  facility.SetUseOaepPadding(true);
  RSA* rsa = OpenSslKey();
  std::vector<unsigned char> block(128, 0x11), out(128);
  block[0] = 0;
  const std::string stamp = "2026-12-5 19:4:5.042";
  ours.clear();
  theirs.clear();
  for (int i = 0; i < certificateBatches; ++i) {
    ours.push_back(Milliseconds([&] {
                     for (int j = 0; j < kCertificatesPerBatch; ++j) {
                       if (facility.EncryptText(stamp, true).size() != 172) {
                         std::abort();
                       }
                     }
                   }) /
                   kCertificatesPerBatch);
    theirs.push_back(Milliseconds([&] {
                       for (int j = 0; j < kCertificatesPerBatch; ++j) {
                         RSA_private_encrypt(128, block.data(), out.data(), rsa,
                                             RSA_NO_PADDING);
                       }
                     }) /
                     kCertificatesPerBatch);
  }
  RSA_free(rsa);
  const double certOurs = Median(ours), certTheirs = Median(theirs);

  std::printf("%-34s %12s %12s %8s %6s\n", "rsa", "library ms", "openssl ms",
              "ratio", "goal");
  std::printf("%-34s %12.3f %12.3f %8.2f %6s\n", "1024-bit key generation",
              keyOurs, keyTheirs, keyOurs / keyTheirs, "2.0");
  std::printf("%-34s %12.4f %12.4f %8.2f %6s\n",
              "certificate vs private operation", certOurs, certTheirs,
              certOurs / certTheirs, "3.5");
  bench::Report({"rsa", "1024-bit key generation", "OpenSSL key generation",
                 keyOurs, keyTheirs, "ms", bench::Orientation::kTime, 2.0,
                 std::to_string(keyRounds) + " keys each"});
  bench::Report({"rsa", "user certificate (OAEP, private key)",
                 "OpenSSL private op", certOurs, certTheirs, "ms",
                 bench::Orientation::kTime, 3.5,
                 std::to_string(certificateBatches) + " batches of " +
                     std::to_string(kCertificatesPerBatch)});
  return 0;
}
