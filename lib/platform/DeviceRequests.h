// The request types and flags of the two device families, as the device command channel carries
// them: the one place they are written down, for the library that sends them and for anything
// that answers them as a device would.
#pragma once

// Communication module (the VSI_ builders).
// Text and value requests (VSI_GetSerialNumber).
constexpr int VSI_GET_LOADED_CODE_RELEASE = 0x20000000;
constexpr int VSI_GET_PROM_RELEASE = 0x10000000;
constexpr int VSI_GET_BOOTSTRAP_RELEASE = 0x01000000;
constexpr int VSI_GET_CPLD_REVISION = 0x00000800;
constexpr int VSI_GET_CABLE_FIRMWARE_RELEASE = 0x00000200;
constexpr int VSI_GET_CARD_SERIAL_NUM = static_cast<int>(0x80000000u);
constexpr int VSI_GET_MAC_ADDRESS = 0x00020000;
// Commands carried by the same builder.
constexpr int VSI_UPDATE_FIRMWARE = 0x00400000;
constexpr int VSI_UPDATE_CABLE_FIRMWARE = 0x00000400;
constexpr int VSI_SEND_DEVICE_STRING = 0x00008000;
// Writes of identity items (VSI_SetSerialNumber).
constexpr int VSI_SET_CARD_SERIAL_NUM = 0x40000000;
constexpr int VSI_SET_MAC_ADDRESS = 0x00001000;
// The reset (VSI_Reset).
constexpr int VSI_RESET_CARD = static_cast<int>(0x80000000u);
// Flags of the identity requests: which MAC address, and the copy in storage.
constexpr int VSI_ETHERNET_MAC = static_cast<int>(0x80000000u);
constexpr int VSI_USB_MAC = 0x40000000;
constexpr int VSI_READ_FROM_STORAGE = 0x08000000;
constexpr int VSI_WRITE_TO_STORAGE = 0x04000000;

// Measurement module (the MSI_ builders).
// Detail requests (MSI_GetCardDetails).
constexpr int MSI_DETAIL_SERIAL_NUM = 1;
constexpr int MSI_DETAIL_LOADED_CODE_RELEASE = 2;
constexpr int MSI_DETAIL_PROM_RELEASE = 3;
constexpr int MSI_DETAIL_UPDATE_PROM = 9;
// The reset (MSI_Reset).
constexpr int MSI_RESET_CARD = 0x01000000;
