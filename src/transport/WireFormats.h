// The drive's and the bridges' formats as they travel: Identify fields, the
// firmware commands' dwords, the completion entry, the USB bridges' command
// blocks, the RST miniport's requests, and the one set of byte-order helpers
// every reader of them uses. Windows' own request layouts are in
// StorageDefs.h.
#pragma once

#include <windows.h>

#include <cstddef>

#include "transport/StorageDefs.h"

// Byte order: NVMe and the maker's blocks are little-endian, SCSI CDBs
// big-endian. Read byte by byte, so no alignment is assumed.
inline UINT16 GetLe16(const BYTE* p) { return static_cast<UINT16>(p[0] | p[1] << 8); }
inline UINT32 GetLe32(const BYTE* p) {
  return static_cast<UINT32>(p[0]) | static_cast<UINT32>(p[1]) << 8 | static_cast<UINT32>(p[2]) << 16 |
         static_cast<UINT32>(p[3]) << 24;
}
inline UINT64 GetLe64(const BYTE* p) { return GetLe32(p) | static_cast<UINT64>(GetLe32(p + 4)) << 32; }
inline void PutLe32(BYTE* p, UINT32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
inline void PutBe24(BYTE* p, UINT32 v) {
  p[0] = static_cast<BYTE>(v >> 16);
  p[1] = static_cast<BYTE>(v >> 8);
  p[2] = static_cast<BYTE>(v);
}
inline void PutBe32(BYTE* p, UINT32 v) {
  p[0] = static_cast<BYTE>(v >> 24);
  PutBe24(p + 1, v);
}

// Identify: CNS 1 the controller, CNS 0 a namespace; each reply a page.
constexpr DWORD CNS_NAMESPACE = 0, CNS_CONTROLLER = 1;
constexpr DWORD IDENTIFY_SIZE = 4096;
// Identify Controller: the PCI vendor and subsystem vendor, then texts,
// space-padded ASCII.
constexpr size_t IDCTRL_VID = 0, IDCTRL_SSVID = 2;
constexpr size_t IDCTRL_SERIAL = 4, IDCTRL_SERIAL_LENGTH = 20;
constexpr size_t IDCTRL_MODEL = 24, IDCTRL_MODEL_LENGTH = 40;
constexpr size_t IDCTRL_FIRMWARE = 64, IDCTRL_FIRMWARE_LENGTH = 8;
// FRMW: bit 0 slot 1 is read-only, bits 3:1 the number of slots. FWUG: the
// download granularity in 4 KiB units; 0 and 0xFF: none.
constexpr size_t IDCTRL_FRMW = 260, IDCTRL_FWUG = 319;
constexpr BYTE FRMW_SLOT1_READ_ONLY = 0x01;
constexpr BYTE FRMW_SLOTS_SHIFT = 1, FRMW_SLOTS_MASK = 0x07;
constexpr BYTE FWUG_NONE_0 = 0x00, FWUG_NONE_FF = 0xFF;
constexpr DWORD FWUG_UNIT = 4096;
// Identify Namespace: NSZE (8 bytes), NLBAF (formats counted from 0),
// FLBAS (the one in use: bits 3:0, and 6:5 above them past 16 formats), and
// LBA format n as 4 bytes at 128 + 4n, LBADS in its third.
constexpr size_t IDNS_NSZE = 0, IDNS_NLBAF = 25, IDNS_FLBAS = 26, IDNS_LBAF = 128;
constexpr size_t LBAF_SIZE = 4, LBAF_LBADS = 2;
constexpr BYTE FLBAS_LOW_MASK = 0x0F, FLBAS_HIGH_SHIFT = 5, FLBAS_HIGH_MASK = 0x03;

// Firmware Commit, CDW10: FS (the slot) in bits 2:0, CA (the action) in 5:3.
constexpr DWORD COMMIT_SLOT_MASK = 0x07;
constexpr DWORD COMMIT_ACTION_SHIFT = 3, COMMIT_ACTION_MASK = 0x07u << COMMIT_ACTION_SHIFT;
constexpr DWORD CommitCdw10(DWORD slot, DWORD action) {
  return (slot & COMMIT_SLOT_MASK) | ((action << COMMIT_ACTION_SHIFT) & COMMIT_ACTION_MASK);
}
// CA 1: replace the image in the slot and activate it at the next reset.
constexpr DWORD COMMIT_ACTION_REPLACE_AND_ACTIVATE = 1;
// Firmware Image Download: CDW10 NUMD (dwords, counted from 0), CDW11 OFST
// (dwords).
constexpr DWORD DownloadNumd(DWORD bytes) { return (bytes - 1) >> 2; }
constexpr DWORD DownloadOfst(DWORD offset) { return offset >> 2; }
// The maker's vendor commands: CDW10 the data length in dwords, CDW1 every
// namespace.
constexpr DWORD NSID_ALL = 0xFFFFFFFF;

// The completion entry: 16 bytes, the status field in DW3 bits 31:17.
constexpr DWORD COMPLETION_SIZE = 16;
constexpr size_t COMPLETION_DW3 = 12;
constexpr DWORD COMPLETION_STATUS_SHIFT = 17;

// SCSI INQUIRY as the bridges answer it: 38 bytes, the bridge's marker in
// the last two.
constexpr BYTE SCSI_OP_INQUIRY = 0x12;
constexpr BYTE INQUIRY_BRIDGE_LENGTH = 0x26;
constexpr size_t INQUIRY_BRIDGE_MARKER = 36;
constexpr BYTE ASM_MARKER[2] = {0x60, 0x23};
constexpr BYTE JMI_MARKER[2] = {0x30, 0x35};

// ASMedia: CDB byte 0 the block opcode (to or from the bridge), byte 1 the
// signature, byte 2 what the block carries, byte 4 the data direction,
// bytes 10-13 the length, big-endian.
constexpr BYTE ASM_OP_TO_BRIDGE = 0xEA, ASM_OP_FROM_BRIDGE = 0xEB, ASM_OP_IDENTIFY = 0xE6;
constexpr BYTE ASM_SIGNATURE = 0x5A;
constexpr BYTE ASM_CARRIES_INFO = 0x02, ASM_CARRIES_COMMAND = 0x80, ASM_CARRIES_DATA = 0x81,
               ASM_CARRIES_COMPLETION = 0x82;
constexpr BYTE ASM_DIRECTION_NONE = 0, ASM_DIRECTION_READ = 1, ASM_DIRECTION_WRITE = 2;
constexpr size_t ASM_CDB_SIGNATURE = 1, ASM_CDB_CARRIES = 2, ASM_CDB_DIRECTION = 4, ASM_CDB_LENGTH = 10;
// The identify pass-through: opcode, CNS and NSID's low bytes.
constexpr size_t ASM_IDENTIFY_OPCODE = 1, ASM_IDENTIFY_CNS = 3, ASM_IDENTIFY_NSID = 7;
// A power cycle block names its mode where a tunnel block names its content.
constexpr BYTE ASM_POWER_CYCLE = 1;

// JMicron: CDB A1, byte 1 admin | protocol, bytes 3-5 the length,
// big-endian. The NVMe command rides in a 512-byte "NVME" block.
constexpr BYTE JMI_OP = 0xA1;
constexpr BYTE JMI_ADMIN = 0x80;
constexpr BYTE JMI_PROTOCOL_COMMAND = 0x00, JMI_PROTOCOL_NON_DATA = 0x01, JMI_PROTOCOL_DATA_IN = 0x02,
               JMI_PROTOCOL_DATA_OUT = 0x03, JMI_PROTOCOL_RESPONSE = 0x0F;
constexpr size_t JMI_CDB_PROTOCOL = 1, JMI_CDB_LENGTH = 3;
constexpr DWORD JMI_BLOCK_SIZE = 512;
constexpr char JMI_SIGNATURE[4] = {'N', 'V', 'M', 'E'};
constexpr size_t JMI_BLOCK_COMMAND = 8, JMI_BLOCK_POWER_MODE = 72;
constexpr size_t JMI_RESPONSE_COMPLETION = 8;
constexpr BYTE JMI_POWER_CYCLE = 5;

// Intel RST: SRB_IO_CONTROL and the four bytes that address the drive.
struct RstHeader {
  SRB_IO_CONTROL Srb;
  BYTE Version;
  BYTE PathId;
  BYTE TargetId;
  BYTE Lun;
};
static_assert(sizeof(RstHeader) == 0x20, "RST request header");

// "IntelNvm": an admin command and its data area, then three zero bytes.
struct RstNvmeRequest {
  RstHeader Header;
  BYTE Command[64];
  BYTE Completion[COMPLETION_SIZE];  // the drive's completion entry
  BYTE Reserved0[4];
  DWORD DataOffset;
  DWORD DataLength;
  BYTE Reserved[40];
};
static_assert(offsetof(RstNvmeRequest, Command) == 0x20, "RST command");
static_assert(offsetof(RstNvmeRequest, Completion) == 0x60, "RST completion entry");
static_assert(offsetof(RstNvmeRequest, DataOffset) == 0x74, "RST data offset");
static_assert(offsetof(RstNvmeRequest, DataLength) == 0x78, "RST data length");
static_assert(sizeof(RstNvmeRequest) == 0xA4, "RST data area");
constexpr DWORD RST_NVME_TRAILER = 3;

// "IntelFw ": the miniport's firmware request; its record follows.
struct RstFirmwareRequest {
  RstHeader Header;
  FIRMWARE_REQUEST_BLOCK Block;
};
static_assert(sizeof(RstFirmwareRequest) == 0x38, "RST firmware record");
// A piece: the request, the download record, the piece.
constexpr DWORD RST_PIECE_HEADER = sizeof(RstFirmwareRequest) + sizeof(STORAGE_FIRMWARE_DOWNLOAD_V2);
static_assert(RST_PIECE_HEADER == 0x58, "RST piece data");
// The driver's activation request is as long as a request for one page.
constexpr DWORD RST_ACTIVATE_SIZE = RST_PIECE_HEADER + 4096;
static_assert(RST_ACTIVATE_SIZE == 0x1058, "RST activation request");
constexpr DWORD RST_CONTROL_NVME_PASS_THROUGH = 0xF0002808;
constexpr DWORD RST_CONTROL_FIRMWARE = 0xF0000040;
