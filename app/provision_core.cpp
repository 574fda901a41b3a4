// Provisioning: open-on-paint, the network setup file and its transfer.
#include "app/provision_core.h"

#include <cstring>
#include <initializer_list>

#include "orvanta_j2534.h"
#include "passthru/app_core.h"
#include "platform/platform.h"

namespace orv::app {

void WipeSecret(void* secret, size_t size) {
  volatile auto* bytes = static_cast<volatile unsigned char*>(secret);
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

int32_t ProvisionOpenOnPaint(uint32_t* device_id, const char* port_name) {
  return PassThruOpen(port_name, device_id);
}

int32_t ProvisionCancel(uint32_t device_id) {
  return PassThruClose(device_id);
}

size_t BuildNetworkFile(std::string_view ssid, std::string_view password,
                        std::span<uint8_t, kMaxNetworkFileSize> out) {
  if (ssid.size() > kMaxSsidLength || password.size() > kMaxPasswordLength) return 0;
  size_t at = 0;
  for (const std::string_view field : {ssid, password}) {
    out[at++] = static_cast<uint8_t>(field.size());
    for (const char c : field) out[at++] = static_cast<uint8_t>(c);
  }
  return at;
}

int32_t Provision(std::string_view ssid, std::string_view password) {
  if (ssid.size() > kMaxSsidLength) return kProvisionSsidTooLong;
  if (password.size() > kMaxPasswordLength) return kProvisionPasswordTooLong;
  std::array<uint8_t, kMaxNetworkFileSize> bytes{};
  const size_t size = BuildNetworkFile(ssid, password, bytes);
  const platform::OsError written =
      platform::WriteOwnerOnlyFile(kNetworkFileName, bytes.data(), size);
  int32_t status =
      written == platform::kErrorNotOwnFile ? kProvisionFileNotOwn : kProvisionFileNotWritten;
  if (written == platform::kOk) {
    status = app_core::WriteStoredFileFromMemory(kNetworkFileName, bytes.data(), size);
  }
  WipeSecret(bytes.data(), bytes.size());
  return status;
}

}  // namespace orv::app
