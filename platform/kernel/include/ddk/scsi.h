// SCSI commands and the data they carry (scsi.h): operation codes, the
// command blocks a disk class driver builds, and the replies it reads.
#pragma once

#include "nt/types.h"

#define SCSIOP_TEST_UNIT_READY 0x00
#define SCSIOP_REQUEST_SENSE 0x03
#define SCSIOP_INQUIRY 0x12
#define SCSIOP_MODE_SELECT 0x15
#define SCSIOP_MODE_SENSE 0x1A
#define SCSIOP_START_STOP_UNIT 0x1B
#define SCSIOP_MEDIUM_REMOVAL 0x1E
#define SCSIOP_READ_CAPACITY 0x25
#define SCSIOP_READ 0x28
#define SCSIOP_WRITE 0x2A
#define SCSIOP_VERIFY 0x2F
#define SCSIOP_SYNCHRONIZE_CACHE 0x35
#define SCSIOP_READ16 0x88
#define SCSIOP_WRITE16 0x8A
#define SCSIOP_VERIFY16 0x8F
#define SCSIOP_READ_CAPACITY16 0x9E
#define SCSIOP_SERVICE_ACTION_IN16 0x9E
#define SERVICE_ACTION_READ_CAPACITY16 0x10

// Mode pages.
#define MODE_PAGE_FORMAT_DEVICE 0x03
#define MODE_PAGE_CACHING 0x08
#define MODE_SENSE_RETURN_ALL 0x3F

#define DIRECT_ACCESS_DEVICE 0x00
#define INQUIRYDATABUFFERSIZE 36

#pragma pack(push, 1)
typedef union _CDB {
  struct _CDB6GENERIC {
    UCHAR OperationCode;
    UCHAR Immediate : 1;
    UCHAR CommandUniqueBits : 4;
    UCHAR LogicalUnitNumber : 3;
    UCHAR CommandUniqueBytes[3];
    UCHAR Link : 1;
    UCHAR Flag : 1;
    UCHAR Reserved : 4;
    UCHAR VendorUnique : 2;
  } CDB6GENERIC;
  struct _CDB6INQUIRY {
    UCHAR OperationCode;
    UCHAR Reserved1 : 5;
    UCHAR LogicalUnitNumber : 3;
    UCHAR PageCode;
    UCHAR IReserved;
    UCHAR AllocationLength;
    UCHAR Control;
  } CDB6INQUIRY;
  struct _MODE_SENSE {
    UCHAR OperationCode;
    UCHAR Reserved1 : 3;
    UCHAR Dbd : 1;
    UCHAR Reserved2 : 1;
    UCHAR LogicalUnitNumber : 3;
    UCHAR PageCode : 6;
    UCHAR Pc : 2;
    UCHAR Reserved3;
    UCHAR AllocationLength;
    UCHAR Control;
  } MODE_SENSE;
  struct _START_STOP {
    UCHAR OperationCode;
    UCHAR Immediate : 1;
    UCHAR Reserved1 : 4;
    UCHAR LogicalUnitNumber : 3;
    UCHAR Reserved2[2];
    UCHAR Start : 1;
    UCHAR LoadEject : 1;
    UCHAR Reserved3 : 6;
    UCHAR Control;
  } START_STOP;
  struct _CDB10 {
    UCHAR OperationCode;
    UCHAR RelativeAddress : 1;
    UCHAR Reserved1 : 2;
    UCHAR ForceUnitAccess : 1;
    UCHAR DisablePageOut : 1;
    UCHAR LogicalUnitNumber : 3;
    UCHAR LogicalBlockByte0;
    UCHAR LogicalBlockByte1;
    UCHAR LogicalBlockByte2;
    UCHAR LogicalBlockByte3;
    UCHAR Reserved2;
    UCHAR TransferBlocksMsb;
    UCHAR TransferBlocksLsb;
    UCHAR Control;
  } CDB10;
  struct _CDB16 {
    UCHAR OperationCode;
    UCHAR Reserved1 : 3;
    UCHAR ForceUnitAccess : 1;
    UCHAR Reserved2 : 4;
    UCHAR LogicalBlock[8];
    UCHAR TransferLength[4];
    UCHAR Reserved3;
    UCHAR Control;
  } CDB16;
  struct _READ_CAPACITY16 {
    UCHAR OperationCode;
    UCHAR ServiceAction : 5;
    UCHAR Reserved1 : 3;
    UCHAR LogicalBlock[8];
    UCHAR AllocationLength[4];
    UCHAR PMI : 1;
    UCHAR Reserved2 : 7;
    UCHAR Control;
  } READ_CAPACITY16;
  UCHAR AsByte[16];
  ULONG AsUlong[4];
} CDB, *PCDB;

typedef struct _INQUIRYDATA {
  UCHAR DeviceType : 5;
  UCHAR DeviceTypeQualifier : 3;
  UCHAR DeviceTypeModifier : 7;
  UCHAR RemovableMedia : 1;
  UCHAR Versions;
  UCHAR ResponseDataFormat : 4;
  UCHAR HiSupport : 1;
  UCHAR NormACA : 1;
  UCHAR TerminateTask : 1;
  UCHAR AERC : 1;
  UCHAR AdditionalLength;
  UCHAR Reserved;
  UCHAR Addr16 : 1;
  UCHAR Addr32 : 1;
  UCHAR AckReqQ : 1;
  UCHAR MediumChanger : 1;
  UCHAR MultiPort : 1;
  UCHAR ReservedBit2 : 1;
  UCHAR EnclosureServices : 1;
  UCHAR ReservedBit3 : 1;
  UCHAR SoftReset : 1;
  UCHAR CommandQueue : 1;
  UCHAR TransferDisable : 1;
  UCHAR LinkedCommands : 1;
  UCHAR Synchronous : 1;
  UCHAR Wide16Bit : 1;
  UCHAR Wide32Bit : 1;
  UCHAR RelativeAddressing : 1;
  UCHAR VendorId[8];
  UCHAR ProductId[16];
  UCHAR ProductRevisionLevel[4];
} INQUIRYDATA, *PINQUIRYDATA;
static_assert(sizeof(INQUIRYDATA) == 36);

// READ CAPACITY replies, big-endian on the wire.
typedef struct _READ_CAPACITY_DATA {
  ULONG LogicalBlockAddress;
  ULONG BytesPerBlock;
} READ_CAPACITY_DATA, *PREAD_CAPACITY_DATA;

typedef struct _READ_CAPACITY_DATA_EX {
  LARGE_INTEGER LogicalBlockAddress;
  ULONG BytesPerBlock;
} READ_CAPACITY_DATA_EX, *PREAD_CAPACITY_DATA_EX;
static_assert(sizeof(READ_CAPACITY_DATA_EX) == 12);

typedef struct _MODE_PARAMETER_HEADER {
  UCHAR ModeDataLength;
  UCHAR MediumType;
  UCHAR DeviceSpecificParameter;
  UCHAR BlockDescriptorLength;
} MODE_PARAMETER_HEADER, *PMODE_PARAMETER_HEADER;

typedef struct _MODE_PARAMETER_BLOCK {
  UCHAR DensityCode;
  UCHAR NumberOfBlocks[3];
  UCHAR Reserved;
  UCHAR BlockLength[3];
} MODE_PARAMETER_BLOCK, *PMODE_PARAMETER_BLOCK;
#pragma pack(pop)
static_assert(sizeof(CDB) == 16);
