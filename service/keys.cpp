// The handset's key operations: the stored key pair handed to the RSA
// facility, a new pair for an activation, and the user certificate that
// proves the handset's identity on every request that carries "User-Cert".
#include "rsa/rsa.h"
#include "service/service.h"

namespace vesk::service {

namespace {

// Every use of the facility here wants OAEP and base64 text.
void ApplyFacilitySettings(rsa::RsaFacility& facility) {
  facility.SetUseOaepPadding(true);
  facility.SetOutputEncoding("base64");
}

}  // namespace

int32_t LoadKeyPair(const ByteString& publicKey, const ByteString& privateKey) {
  rsa::RsaFacility& facility = rsa::Facility();
  ApplyFacilitySettings(facility);
  HandsetEnv& env = Env();
  if (env.PublicKey().empty()) {
    env.SetPublicKey(publicKey);
    env.SetPrivateKey(privateKey);
  }
  // A text that does not import leaves the key loaded before in place, so a
  // handset with damaged key lines keeps signing with the last good key.
  facility.ImportPublicKey(publicKey.view());
  facility.ImportPrivateKey(privateKey.view());
  return 1;
}

int32_t NewKeyPair() {
  rsa::RsaFacility& facility = rsa::Facility();
  ApplyFacilitySettings(facility);
  const int32_t generated = facility.GenerateKeyPair(1024);
  if (generated != 1) return generated;
  const std::string publicKey = facility.ExportPublicKey();
  const std::string privateKey = facility.ExportPrivateKey();
  Env().SetPublicKey(ByteString(publicKey.data(), publicKey.size()));
  Env().SetPrivateKey(ByteString(privateKey.data(), privateKey.size()));
  return 1;
}

void LoadIdentity(const char16_t* environmentFile) {
  ReadEnvironment(environmentFile);
  LoadKeyPair(Env().PublicKey(), Env().PrivateKey());
}

ByteString MakeUserCertificate() {
  const ByteString timestamp = FormatTimestamp();
  const std::string certificate =
      rsa::Facility().EncryptText(timestamp.view(), true);
  return ByteString(certificate.data(), certificate.size());
}

}  // namespace vesk::service
