// USB host driver client interface: standard descriptors, the host driver's
// records, its function table (USB_FUNCS), flags and error codes, and the
// client driver's entry points.
//
// Threads: the host driver calls USBInstallDriver, USBUnInstallDriver and
// USBDeviceAttach on its own thread; completion routines and the device
// notification routine run on host threads, never on the thread that issued
// the transfer.
#pragma once

#include <stddef.h>

#include "ce/types.h"

// ---- Standard descriptors, packed as on the wire --------------------------

#pragma pack(push, 1)
typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

// Setup packet of a control transfer.
typedef struct _USB_DEVICE_REQUEST {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} USB_DEVICE_REQUEST, *PUSB_DEVICE_REQUEST;
#pragma pack(pop)

typedef const USB_DEVICE_DESCRIPTOR* LPCUSB_DEVICE_DESCRIPTOR;
typedef const USB_ENDPOINT_DESCRIPTOR* LPCUSB_ENDPOINT_DESCRIPTOR;
typedef const USB_DEVICE_REQUEST* LPCUSB_DEVICE_REQUEST;

#define USB_DEVICE_DESCRIPTOR_TYPE 1
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 2
#define USB_STRING_DESCRIPTOR_TYPE 3
#define USB_INTERFACE_DESCRIPTOR_TYPE 4
#define USB_ENDPOINT_DESCRIPTOR_TYPE 5

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 1
#define USB_ENDPOINT_TYPE_BULK 2
#define USB_ENDPOINT_TYPE_INTERRUPT 3

// Standard requests and features.
#define USB_REQUEST_CLEAR_FEATURE 1
#define USB_REQUEST_GET_DESCRIPTOR 6
#define USB_FEATURE_ENDPOINT_HALT 0
#define USB_FEATURE_ENDPOINT_STALL USB_FEATURE_ENDPOINT_HALT

// ---- The host driver's records ------------------------------------------

typedef struct _USB_ENDPOINT {
    DWORD dwCount;  // size of this record in bytes
    USB_ENDPOINT_DESCRIPTOR Descriptor;
    const void* lpvExtended;
} USB_ENDPOINT, *PUSB_ENDPOINT;
typedef const USB_ENDPOINT* LPCUSB_ENDPOINT;

typedef struct _USB_INTERFACE {
    DWORD dwCount;
    USB_INTERFACE_DESCRIPTOR Descriptor;
    const void* lpvExtended;
    const USB_ENDPOINT* lpEndpoints;
} USB_INTERFACE, *PUSB_INTERFACE;
typedef const USB_INTERFACE* LPCUSB_INTERFACE;

typedef struct _USB_CONFIGURATION {
    DWORD dwCount;
    USB_CONFIGURATION_DESCRIPTOR Descriptor;
    const void* lpvExtended;
    DWORD dwNumInterfaces;
    const USB_INTERFACE* lpInterfaces;
} USB_CONFIGURATION, *PUSB_CONFIGURATION;
typedef const USB_CONFIGURATION* LPCUSB_CONFIGURATION;

typedef struct _USB_DEVICE {
    DWORD dwCount;
    USB_DEVICE_DESCRIPTOR Descriptor;
    const USB_CONFIGURATION* lpConfigs;
    const USB_CONFIGURATION* lpActiveConfig;
} USB_DEVICE, *PUSB_DEVICE;
typedef const USB_DEVICE* LPCUSB_DEVICE;

#define USB_NO_INFO 0xFFFFFFFFu

typedef struct _USB_DRIVER_SETTINGS {
    DWORD dwCount;
    DWORD dwVendorId;
    DWORD dwProductId;
    DWORD dwReleaseNumber;
    DWORD dwDeviceClass;
    DWORD dwDeviceSubClass;
    DWORD dwDeviceProtocol;
    DWORD dwInterfaceClass;
    DWORD dwInterfaceSubClass;
    DWORD dwInterfaceProtocol;
} USB_DRIVER_SETTINGS, *PUSB_DRIVER_SETTINGS;
typedef const USB_DRIVER_SETTINGS* LPCUSB_DRIVER_SETTINGS;

// ---- Handles, routines, flags, errors ------------------------------------

typedef struct UsbDeviceHandle__* USB_HANDLE;
typedef struct UsbPipeHandle__* USB_PIPE;
typedef struct UsbTransferHandle__* USB_TRANSFER;

// Runs once when an asynchronous transfer completes, on a host thread.
typedef DWORD(WINAPI* LPTRANSFER_NOTIFY_ROUTINE)(LPVOID lpvNotifyParameter);
// Device notification (USB_CLOSE_DEVICE at removal), on a host thread. The
// device's records stay valid until the routine returns.
typedef BOOL(WINAPI* LPDEVICE_NOTIFY_ROUTINE)(LPVOID lpvNotifyParameter, DWORD dwCode,
                                              LPDWORD* dwInfo1, LPDWORD* dwInfo2,
                                              LPDWORD* dwInfo3, LPDWORD* dwInfo4);

#define USB_CLOSE_DEVICE 1

// Transfer flags.
#define USB_OUT_TRANSFER 0x00000000u
#define USB_IN_TRANSFER 0x00000080u
#define USB_NO_WAIT 0x00000100u
#define USB_SHORT_TRANSFER_OK 0x00000200u
#define USB_START_ISOCH_ASAP 0x00000400u
#define USB_SEND_TO_DEVICE 0x00001000u
#define USB_SEND_TO_INTERFACE 0x00002000u
#define USB_SEND_TO_ENDPOINT 0x00004000u

// Transfer error codes (GetTransferStatus).
#define USB_NO_ERROR 0x00000000u
#define USB_CRC_ERROR 0x00000001u
#define USB_STALL_ERROR 0x00000004u
#define USB_DEVICE_NOT_RESPONDING_ERROR 0x00000005u
#define USB_DATA_OVERRUN_ERROR 0x00000008u
#define USB_DATA_UNDERRUN_ERROR 0x00000009u
#define USB_CANCELED_ERROR 0x00000101u
#define USB_NOT_COMPLETE_ERROR 0x00000103u
#define USB_CLIENT_BUFFER_ERROR 0x00000104u
#define USB_DEVICE_GONE_ERROR 0x00000105u

typedef LPCUSB_DEVICE(WINAPI* LPGET_DEVICE_INFO)(USB_HANDLE hDevice);
typedef BOOL(WINAPI* LPREGISTER_NOTIFICATION_ROUTINE)(USB_HANDLE hDevice,
                                                       LPDEVICE_NOTIFY_ROUTINE lpNotifyRoutine,
                                                       LPVOID lpvNotifyParameter);
typedef USB_TRANSFER(WINAPI* LPGET_DESCRIPTOR)(USB_HANDLE hDevice,
                                                LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                UCHAR bType, UCHAR bIndex, WORD wLanguage,
                                                WORD wLength, LPVOID lpvBuffer);
typedef USB_TRANSFER(WINAPI* LPISSUE_VENDOR_TRANSFER)(USB_HANDLE hDevice,
                                                       LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                       LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                       LPCUSB_DEVICE_REQUEST lpControlHeader,
                                                       LPVOID lpvBuffer, ULONG uBufferPhysicalAddress);
typedef USB_TRANSFER(WINAPI* LPCLEAR_FEATURE)(USB_HANDLE hDevice,
                                               LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                               LPVOID lpvNotifyParameter, DWORD dwFlags,
                                               WORD wFeature, UCHAR bIndex);
typedef USB_PIPE(WINAPI* LPOPEN_PIPE)(USB_HANDLE hDevice,
                                       LPCUSB_ENDPOINT_DESCRIPTOR lpEndpointDescriptor);
typedef BOOL(WINAPI* LPCLOSE_PIPE)(USB_PIPE hPipe);
typedef BOOL(WINAPI* LPIS_PIPE_HALTED)(USB_PIPE hPipe, LPBOOL lpbHalted);
typedef BOOL(WINAPI* LPRESET_PIPE)(USB_PIPE hPipe);
typedef USB_TRANSFER(WINAPI* LPISSUE_BULK_TRANSFER)(USB_PIPE hPipe,
                                                     LPTRANSFER_NOTIFY_ROUTINE lpStartAddress,
                                                     LPVOID lpvNotifyParameter, DWORD dwFlags,
                                                     DWORD dwBufferSize, LPVOID lpvBuffer,
                                                     ULONG uBufferPhysicalAddress);
typedef LPISSUE_BULK_TRANSFER LPISSUE_INTERRUPT_TRANSFER;
typedef BOOL(WINAPI* LPIS_TRANSFER_COMPLETE)(USB_TRANSFER hTransfer);
typedef BOOL(WINAPI* LPGET_TRANSFER_STATUS)(USB_TRANSFER hTransfer, LPDWORD lpdwBytesTransferred,
                                             LPDWORD lpdwError);
typedef BOOL(WINAPI* LPABORT_TRANSFER)(USB_TRANSFER hTransfer, DWORD dwFlags);
typedef BOOL(WINAPI* LPCLOSE_TRANSFER)(USB_TRANSFER hTransfer);

// The host driver's function table, handed to USBDeviceAttach. dwCount is the
// record's size in bytes.
typedef struct _USB_FUNCS {
    DWORD dwCount;
    LPGET_DEVICE_INFO lpGetDeviceInfo;
    LPREGISTER_NOTIFICATION_ROUTINE lpRegisterNotificationRoutine;
    LPGET_DESCRIPTOR lpGetDescriptor;
    LPISSUE_VENDOR_TRANSFER lpIssueVendorTransfer;
    LPCLEAR_FEATURE lpClearFeature;
    LPOPEN_PIPE lpOpenPipe;
    LPCLOSE_PIPE lpClosePipe;
    LPIS_PIPE_HALTED lpIsPipeHalted;
    LPRESET_PIPE lpResetPipe;
    LPISSUE_BULK_TRANSFER lpIssueBulkTransfer;
    LPISSUE_INTERRUPT_TRANSFER lpIssueInterruptTransfer;
    LPIS_TRANSFER_COMPLETE lpIsTransferComplete;
    LPGET_TRANSFER_STATUS lpGetTransferStatus;
    LPABORT_TRANSFER lpAbortTransfer;
    LPCLOSE_TRANSFER lpCloseTransfer;
} USB_FUNCS, *PUSB_FUNCS;
typedef const USB_FUNCS* LPCUSB_FUNCS;

// ---- Client driver entry points ------------------------------------------

typedef BOOL(WINAPI* LPUSB_INSTALL_DRIVER)(LPCWSTR szDriverLibFile);
typedef BOOL(WINAPI* LPUSB_UNINSTALL_DRIVER)(void);
typedef BOOL(WINAPI* LPUSB_DEVICE_ATTACH)(USB_HANDLE hDevice, LPCUSB_FUNCS lpUsbFuncs,
                                           LPCUSB_INTERFACE lpInterface,
                                           LPCWSTR szUniqueDriverId, LPBOOL fAcceptControl,
                                           LPCUSB_DRIVER_SETTINGS lpDriverSettings,
                                           DWORD dwUnused);

// Published layouts, pinned.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iProduct) == 15);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceClass) == 5);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(offsetof(USB_ENDPOINT_DESCRIPTOR, wMaxPacketSize) == 4);
static_assert(sizeof(USB_DEVICE_REQUEST) == 8);
static_assert(offsetof(USB_DEVICE_REQUEST, wLength) == 6);
static_assert(offsetof(USB_ENDPOINT, Descriptor) == 4);
static_assert(offsetof(USB_INTERFACE, Descriptor) == 4);
static_assert(offsetof(USB_CONFIGURATION, Descriptor) == 4);
static_assert(offsetof(USB_DEVICE, Descriptor) == 4);
static_assert(sizeof(USB_DRIVER_SETTINGS) == 40);
static_assert(offsetof(USB_DRIVER_SETTINGS, dwInterfaceProtocol) == 36);
