// The provisioning application's logic, free of any window system: the
// two operations its front ends call (open the adapter link when the
// dialog is painted; provision a network), the layout of the network setup
// file "IOT.NET" and the texts the user sees.
//
// Failure reporting: both operations return the J2534 status of the
// library call they end in (0 success), or one of the negative outcomes
// below when the network setup file could not be made, in which case
// nothing is sent to the adapter.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace orv::app {

// The network setup file, in the current directory and in the adapter's
// store: length byte, SSID bytes, length byte, password bytes.
inline constexpr char kNetworkFileName[] = "IOT.NET";
inline constexpr size_t kMaxSsidLength = 31;
inline constexpr size_t kMaxPasswordLength = 63;
inline constexpr size_t kMaxNetworkFileSize = 2 + kMaxSsidLength + kMaxPasswordLength;  // 96

// Texts shown by the front ends, byte for byte.
inline constexpr char kDialogTitle[] = "Quellix LLC   Orvanta-IOT Manual Provision App v1.02";
inline constexpr char kTextOpenFailed[] = "ERROR";           // replaces the SSID box
inline constexpr char kTextTransferFailed[] = "ERROR:FILE";  // replaces the password box
inline constexpr char kTextProvisioned[] = "Provisioning Setup Configured\nPower Cycle To Complete";
inline constexpr char kCaptionProvisioned[] = "SUCCESS";

// Outcomes of Provision besides the PassThruWriteFile status.
inline constexpr int32_t kProvisionFileNotWritten = -1;   // "IOT.NET" could not be written
inline constexpr int32_t kProvisionSsidTooLong = -2;      // more than 31 bytes
inline constexpr int32_t kProvisionPasswordTooLong = -3;  // more than 63 bytes
// "IOT.NET" is another user's file, a link, or not a regular file: it is
// left untouched and nothing is sent.
inline constexpr int32_t kProvisionFileNotOwn = -4;

// Opens the adapter link: PassThruOpen with no name (search every port),
// or with `port_name` such as "COM7". Non-zero means the SSID box shows
// "ERROR".
int32_t ProvisionOpenOnPaint(uint32_t* device_id, const char* port_name = nullptr);

// Closes the link when the user cancels.
int32_t ProvisionCancel(uint32_t device_id);

// The bytes of "IOT.NET" for `ssid` and `password` (each within its limit)
// in `out`; returns their count (2 to 96), or 0 when a field is too long.
size_t BuildNetworkFile(std::string_view ssid, std::string_view password,
                        std::span<uint8_t, kMaxNetworkFileSize> out);

// Writes "IOT.NET" in the current directory (created, or truncated when it
// is the user's own, readable by its owner only), then copies exactly the
// bytes written into the adapter's store as "IOT.NET", as
// PassThruWriteFile("IOT.NET", "IOT.NET", 0) would, and returns that
// status: 0 means the success box and quitting, any other J2534 code
// "ERROR:FILE" in the password box. The file is never opened again by
// name, so nobody can swap it in between. Fields longer than the dialog's
// boxes hold are refused, and a file that could not be written completely
// is never sent.
int32_t Provision(std::string_view ssid, std::string_view password);

// Overwrites `size` bytes at `secret` in a way the compiler keeps (a
// password must not linger in memory after use).
void WipeSecret(void* secret, size_t size);

}  // namespace orv::app
