/*
 * Public interface of the Orvanta pass-thru library (J2534 API version
 * "04.04" with J2534-2 extensions) and its serial driver.
 *
 * Every J2534 numeric type is a 32-bit unsigned integer on every platform,
 * in records and in arguments. On Windows the API functions use the stdcall
 * convention (exported as PassThruOpen@8 and so on) and the serial driver
 * cdecl; elsewhere both use the platform's C convention.
 *
 * Every function returns a status code: the J2534 codes below for the API,
 * the negative COM_ERR_* codes for the serial driver.
 *
 * Threads: every PassThru* function may be called from any thread at any
 * time. Calls are serialised on the library's state, but a call that waits
 * (a read with a time limit, a blocking write, an answer of the adapter)
 * lets the others run meanwhile: bus traffic of other channels keeps being
 * received and read, and calls on different channels do not wait out each
 * other's time limits. Calls that wait for an answer of the adapter itself
 * (PassThruReadVersion, PassThruOpen, the voltage and digital-line
 * ioctls, the file store, memory, clock, security and firmware functions)
 * run one at a time, each getting its own answer. PassThruGetLastError
 * returns the text of the calling thread's last failure. The com_* serial
 * driver keeps no state beyond the caller's handle; one handle must not be
 * used by two threads at once.
 */
#ifndef ORVANTA_J2534_H
#define ORVANTA_J2534_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ORV_CALL __stdcall
#define ORV_CDECL __cdecl
#if defined(ORV_BUILDING_LIBRARY)
#define ORV_API __declspec(dllexport)
#else
#define ORV_API
#endif
#else
#define ORV_CALL
#define ORV_CDECL
#if defined(ORV_BUILDING_LIBRARY)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes ------------------------------------------------------ */
#define STATUS_NOERROR 0x00u
#define ERR_NOT_SUPPORTED 0x01u
#define ERR_INVALID_CHANNEL_ID 0x02u
#define ERR_INVALID_PROTOCOL_ID 0x03u
#define ERR_NULL_PARAMETER 0x04u
#define ERR_INVALID_IOCTL_VALUE 0x05u
#define ERR_INVALID_FLAGS 0x06u
#define ERR_FAILED 0x07u
#define ERR_DEVICE_NOT_CONNECTED 0x08u
#define ERR_TIMEOUT 0x09u
#define ERR_INVALID_MSG 0x0Au
#define ERR_INVALID_TIME_INTERVAL 0x0Bu
#define ERR_EXCEEDED_LIMIT 0x0Cu
#define ERR_INVALID_MSG_ID 0x0Du
#define ERR_DEVICE_IN_USE 0x0Eu
#define ERR_INVALID_IOCTL_ID 0x0Fu
#define ERR_BUFFER_EMPTY 0x10u
#define ERR_BUFFER_FULL 0x11u
#define ERR_BUFFER_OVERFLOW 0x12u
#define ERR_PIN_INVALID 0x13u
#define ERR_CHANNEL_IN_USE 0x14u
#define ERR_MSG_PROTOCOL_ID 0x15u
#define ERR_INVALID_FILTER_ID 0x16u
#define ERR_NO_FLOW_CONTROL 0x17u
#define ERR_NOT_UNIQUE 0x18u
#define ERR_INVALID_BAUDRATE 0x19u
#define ERR_INVALID_DEVICE_ID 0x1Au

/* ---- Protocol IDs ------------------------------------------------------ */
#define J1850VPW 1u
#define J1850PWM 2u
#define ISO9141 3u
#define ISO14230 4u
#define CAN 5u
#define ISO15765 6u
#define SCI_A_ENGINE 7u
#define SCI_A_TRANS 8u
#define SCI_B_ENGINE 9u
#define SCI_B_TRANS 10u
/* Channel IDs of the second CAN interface (the program's own numbering). */
#define MSCAN 11u
#define MSISO15765 12u
/* J2534-2 protocol IDs accepted as aliases (mapping done by PassThruConnect). */
#define CAN_PS 0x8004u
#define ISO15765_PS 0x8005u
#define CAN_CH1 0x9000u
#define CAN_CH2 0x9001u
#define ISO15765_CH1 0x9400u
#define ISO15765_CH2 0x9401u
#define FD_CAN_CH1 0x9880u
#define FD_CAN_CH2 0x9881u
#define FD_ISO15765_CH1 0x9900u
#define FD_ISO15765_CH2 0x9901u

/* ---- Connect flags ----------------------------------------------------- */
#define CAN_29BIT_ID 0x00000100u
#define ISO9141_NO_CHECKSUM 0x00000200u
#define CAN_ID_BOTH 0x00000800u
#define ISO9141_K_LINE_ONLY 0x00001000u
#define CAN_FD_ENABLE 0x01000000u         /* sent as connect-frame flag 0x20 */
#define ORV_CONNECT_NO_POPUPS 0x40000000u /* suppress the "not detected" box */

/* ---- TxFlags / RxStatus bits ------------------------------------------ */
#define TX_MSG_TYPE 0x00000001u
#define START_OF_MESSAGE 0x00000002u
#define RX_BREAK 0x00000004u
#define TX_INDICATION 0x00000008u
#define ISO15765_PADDING_ERROR 0x00000010u
#define ISO15765_ADDR_TYPE 0x00000080u
#define ISO15765_FRAME_PAD 0x00000040u
#define WAIT_P3_MIN_ONLY 0x00000200u
#define SW_CAN_HV_TX 0x00000400u
#define SCI_MODE 0x00400000u
#define SCI_TX_VOLTAGE 0x00800000u
#define CAN_FD_BRS 0x00080000u
#define CAN_FD_FORMAT 0x00100000u
#define ORV_RX_ADAPTER_FLAG 0x20000000u

/* ---- Filter types ------------------------------------------------------ */
#define PASS_FILTER 1u
#define BLOCK_FILTER 2u
#define FLOW_CONTROL_FILTER 3u

/* ---- Programming voltage ----------------------------------------------- */
#define SHORT_TO_GROUND 0xFFFFFFFEu
#define VOLTAGE_OFF 0xFFFFFFFFu

/* ---- Ioctl IDs --------------------------------------------------------- */
#define GET_CONFIG 0x01u
#define SET_CONFIG 0x02u
#define READ_VBATT 0x03u
#define FIVE_BAUD_INIT 0x04u
#define FAST_INIT 0x05u
#define CLEAR_TX_BUFFER 0x07u
#define CLEAR_RX_BUFFER 0x08u
#define CLEAR_PERIODIC_MSGS 0x09u
#define CLEAR_MSG_FILTERS 0x0Au
#define CLEAR_FUNCT_MSG_LOOKUP_TABLE 0x0Bu
#define ADD_TO_FUNCT_MSG_LOOKUP_TABLE 0x0Cu
#define DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE 0x0Du
#define READ_PROG_VOLTAGE 0x0Eu

/* ---- Device and channel ioctls: J2534-2 and this adapter's own --------- */
#define GET_DEVICE_INFO 0x800Cu
#define GET_PROTOCOL_INFO 0x800Du
#define READ_CH1_VOLTAGE 0x10000u /* adapter analogue input 4 */
#define READ_CH2_VOLTAGE 0x10001u /* adapter analogue input 2 */
#define READ_CH3_VOLTAGE 0x10002u /* adapter analogue input 3 */
#define WRITE_LCD_TEST 0x10005u
#define RESET_TIMER 0x10100u
#define TIMESTAMP_MSEC 0x10101u
#define TIMESTAMP_USEC 0x10102u
#define CAN_D2_FLOW_CONTROL 0x10200u
#define READ_DIO1 0x10300u
#define READ_DIO2 0x10301u
#define WRITE_DIO1 0x10400u
#define WRITE_DIO2 0x10401u

/* ---- Configuration parameter IDs (GET_CONFIG / SET_CONFIG) ------------- */
/* P1_MIN to P4_MAX are given and returned in units of 0.5 ms. */
#define DATA_RATE 0x01u
#define LOOPBACK 0x03u
#define NODE_ADDRESS 0x04u
#define P1_MIN 0x06u
#define P1_MAX 0x07u
#define P2_MIN 0x08u
#define P2_MAX 0x09u
#define P3_MIN 0x0Au
#define P3_MAX 0x0Bu
#define P4_MIN 0x0Cu
#define P4_MAX 0x0Du
#define W1 0x0Eu
#define W2 0x0Fu
#define W3 0x10u
#define W4 0x11u
#define W5 0x12u
#define TIDLE 0x13u
#define TINIL 0x14u
#define TWUP 0x15u
#define PARITY 0x16u
#define BIT_SAMPLE_POINT 0x17u
#define SYNC_JUMP_WIDTH 0x18u
#define ISO15765_BS 0x1Eu
#define ISO15765_STMIN 0x1Fu
#define DATA_BITS 0x20u
#define FIVE_BAUD_MOD 0x21u
#define BS_TX 0x22u
#define STMIN_TX 0x23u
#define ISO15765_WFT_MAX 0x25u
#define ISO15765_PAD_VALUE 0x2Bu
#define CAN_MIXED_FORMAT 0x8000u /* SET_CONFIG only */
#define J1962_PINS 0x8001u       /* SET_CONFIG only, channels 11 and 12 */
#define FD_CAN_DATA_PHASE_RATE 0x805Cu
#define FD_ISO15765_TX_DATA_LENGTH 0x805Du
#define HS_CAN_TERMINATION 0x805Eu
#define MSG_TRIGGER 0x10000u
#define LAST_SEGMENT_TIMESTAMP 0x10001u
#define BUS_ERROR_MSGS 0x10002u
#define INTERFRAME_DELAY 0x10003u
#define AUTOMATIC_SUSPEND 0x10004u

/* ---- Records ----------------------------------------------------------- */
#define PASSTHRU_MSG_DATA_SIZE 4128u

typedef struct {
  uint32_t ProtocolID;
  uint32_t RxStatus;
  uint32_t TxFlags;
  uint32_t Timestamp;
  uint32_t DataSize;
  uint32_t ExtraDataIndex;
  uint8_t Data[PASSTHRU_MSG_DATA_SIZE];
} PASSTHRU_MSG;

typedef struct {
  uint32_t Parameter;
  uint32_t Value;
} SCONFIG;

typedef struct {
  uint32_t NumOfParams;
  SCONFIG* ConfigPtr;
} SCONFIG_LIST;

typedef struct {
  uint32_t NumOfBytes;
  uint8_t* BytePtr;
} SBYTE_ARRAY;

typedef struct {
  uint32_t Parameter;
  uint32_t Value;
  uint32_t Supported;
} SPARAM;

typedef struct {
  uint32_t NumOfParams;
  SPARAM* ParamPtr;
} SPARAM_LIST;

/* The adapter clock record: 12 bytes, passed between caller and adapter
 * unchanged (multi-byte fields little-endian, the adapter's order). */
typedef struct {
  int32_t jdn; /* day number */
  uint16_t year;
  uint8_t month;
  uint8_t day; /* of the month */
  uint8_t hour;
  uint8_t min;
  uint8_t sec;
  uint8_t pad;
} RTC_DAY_TIME;

/* The record goes to the adapter as its memory image: no padding may creep in. */
#ifdef __cplusplus
#define ORV_STATIC_ASSERT(condition, text) static_assert(condition, text)
#else
#define ORV_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif
ORV_STATIC_ASSERT(sizeof(RTC_DAY_TIME) == 12, "RTC_DAY_TIME is 12 bytes");
ORV_STATIC_ASSERT(offsetof(RTC_DAY_TIME, jdn) == 0 && offsetof(RTC_DAY_TIME, year) == 4 &&
                      offsetof(RTC_DAY_TIME, month) == 6 && offsetof(RTC_DAY_TIME, day) == 7 &&
                      offsetof(RTC_DAY_TIME, hour) == 8 && offsetof(RTC_DAY_TIME, min) == 9 &&
                      offsetof(RTC_DAY_TIME, sec) == 10 && offsetof(RTC_DAY_TIME, pad) == 11,
                  "RTC_DAY_TIME field offsets");

/* ---- Pass-thru API ----------------------------------------------------- */
ORV_API int32_t ORV_CALL PassThruOpen(const char* pName, uint32_t* pDeviceID);
ORV_API int32_t ORV_CALL PassThruClose(uint32_t DeviceID);
ORV_API int32_t ORV_CALL PassThruConnect(uint32_t DeviceID, uint32_t ProtocolID, uint32_t Flags,
                                         uint32_t BaudRate, uint32_t* pChannelID);
ORV_API int32_t ORV_CALL PassThruDisconnect(uint32_t ChannelID);
ORV_API int32_t ORV_CALL PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                          uint32_t* pNumMsgs, uint32_t Timeout);
ORV_API int32_t ORV_CALL PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                           uint32_t* pNumMsgs, uint32_t Timeout);
ORV_API int32_t ORV_CALL PassThruStartPeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                  uint32_t* pMsgID, uint32_t TimeInterval);
ORV_API int32_t ORV_CALL PassThruUpdatePeriodicMsg(uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                   uint32_t MsgID, uint32_t TimeInterval);
ORV_API int32_t ORV_CALL PassThruStopPeriodicMsg(uint32_t ChannelID, uint32_t MsgID);
ORV_API int32_t ORV_CALL PassThruSuspendPeriodic(uint32_t ChannelID);
ORV_API int32_t ORV_CALL PassThruResumePeriodic(uint32_t ChannelID);
ORV_API int32_t ORV_CALL PassThruStartMsgFilter(uint32_t ChannelID, uint32_t FilterType,
                                                PASSTHRU_MSG* pMaskMsg, PASSTHRU_MSG* pPatternMsg,
                                                PASSTHRU_MSG* pFlowControlMsg, uint32_t* pFilterID);
ORV_API int32_t ORV_CALL PassThruStopMsgFilter(uint32_t ChannelID, uint32_t FilterID);
ORV_API int32_t ORV_CALL PassThruSetProgrammingVoltage(uint32_t DeviceID, uint32_t PinNumber,
                                                       uint32_t Voltage);
ORV_API int32_t ORV_CALL PassThruReadVersion(uint32_t DeviceID, char* pFirmwareVersion,
                                             char* pDllVersion, char* pApiVersion);
ORV_API int32_t ORV_CALL PassThruGetLastError(char* pErrorDescription);
ORV_API int32_t ORV_CALL PassThruIoctl(uint32_t ChannelID, uint32_t IoctlID, void* pInput,
                                       void* pOutput);

/* Adapter services beyond J2534. */
ORV_API int32_t ORV_CALL PassThruWriteFile(char* PCFileName, char* SDFileName, uint32_t Flags);
ORV_API int32_t ORV_CALL PassThruReadFile(char* PCFileName, char* SDFileName, uint32_t Flags);
ORV_API int32_t ORV_CALL PassThruDeleteFile(char* SDFileName, uint32_t Flags);
/* PassThruReadDir writes at most ORV_FILE_LIST_MAX bytes (the terminating
 * zero included) into pFileList, which must be that large. A longer listing
 * fails with ERR_FAILED. */
#define ORV_FILE_LIST_MAX 8192
ORV_API int32_t ORV_CALL PassThruReadDir(char* pFileSpec, char* pFileList);
ORV_API int32_t ORV_CALL PassThruReadMem(uint32_t Address, uint32_t Length, uint8_t* pData,
                                         uint32_t Flags);
ORV_API int32_t ORV_CALL PassThruWriteMem(uint32_t Address, uint32_t Length, uint8_t* pData,
                                          uint32_t Flags);
ORV_API int32_t ORV_CALL PassThruReadRTC(RTC_DAY_TIME* pRTC);
ORV_API int32_t ORV_CALL PassThruWriteRTC(RTC_DAY_TIME* pRTC);
ORV_API int32_t ORV_CALL PassThruUpdateFirmware(uint8_t* Data, uint32_t Length);
/* Level is a byte; stdcall still passes it in a 4-byte slot (PassThruSecurity@16). */
ORV_API int32_t ORV_CALL PassThruSecurity(unsigned char Level, uint8_t* pFixed, uint8_t* pSeed,
                                          uint8_t* pKey);
ORV_API int32_t ORV_CALL VerifyORVXBuild(void);
ORV_API int32_t ORV_CALL PassThruGetPointer(int32_t vb_pointer);

/* ---- Serial driver ----------------------------------------------------- */
#define COM_OK 0
#define COM_ERR_HANDLE (-32749)
#define COM_ERR_OPEN (-32008)
#define COM_ERR_STATE (-32007)
#define COM_ERR_QUEUE (-32006)
#define COM_ERR_PURGE (-32005)
#define COM_ERR_TIMEOUTS (-32004)
#define COM_ERR_CLOSE (-32003)
#define COM_ERR_READ (-32002)
#define COM_ERR_WRITE (-32001)
#define COM_ERR_BREAK (-32000)

/* Record of com_ioctl functions 3 (read) and 4 (apply). */
typedef struct {
  uint32_t BaudRate;
  uint8_t DataBits;
  uint8_t Parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
  uint8_t StopBits; /* 0 one, 1 one and a half, 2 two */
  uint8_t DtrDsr;   /* 1: DSR output flow control on */
  uint8_t RtsCts;   /* 1: CTS output flow control on */
  uint8_t XonXoff;  /* 1: XON/XOFF output flow control on */
} DRVSETTINGS;

ORV_API int32_t ORV_CDECL com_open(int32_t* h_drv, uint32_t port, uint32_t baud, uint32_t data_bits,
                                   uint32_t stop_bits, uint32_t parity);
ORV_API int32_t ORV_CDECL com_close(int32_t* h_drv);
ORV_API int32_t ORV_CDECL com_read(int32_t* h_drv, uint8_t* p_buffer, uint32_t count,
                                   uint32_t* p_bytes_read);
ORV_API int32_t ORV_CDECL com_write(int32_t* h_drv, const uint8_t* p_buffer, uint32_t count,
                                    uint32_t* p_bytes_written);
ORV_API int32_t ORV_CDECL com_ioctl(int32_t* h_drv, uint32_t func, void* p_parms, void* p_data);
ORV_API int32_t ORV_CDECL com_rx_count(int32_t* h_drv, uint32_t* count);
ORV_API int32_t ORV_CDECL com_set_timeout(int32_t* h_drv, uint32_t timeout_msec);
ORV_API int32_t ORV_CDECL com_set_dtr(int32_t* h_drv, uint32_t state);
ORV_API int32_t ORV_CDECL com_set_rts(int32_t* h_drv, uint32_t state);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTA_J2534_H */
