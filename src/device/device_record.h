// The active device record: the decoded fields of one device's configuration, from which the
// command layer builds its replies. There is one; before a command is answered the sections it
// uses are decoded into it for the addressed device.
#pragma once

#include <array>
#include <cstdint>

namespace qln {

struct DeviceRecord {
  DeviceRecord();

  // Section 000, identity.
  uint8_t MfrID = 21;
  uint8_t MfrDevType = 1;
  uint8_t ReqPreambleNum = 5;
  uint8_t UnivCmdRev = 6;  // the HART revision in force
  uint8_t DevSpecCmdRev = 1;
  uint8_t SWRev = 2;
  uint8_t HWRev = 8;
  uint8_t DevFuncFlag = 0;
  uint32_t DevIDNo = 0x178533;  // 24 bits
  uint8_t MinPreNumS2M_v6 = 5;
  uint8_t MaxDevVarNum_v6 = 11;
  uint16_t CfgChgCnt_v6 = 0;
  uint8_t ExtDevSta_v6 = 0;
  uint16_t MfrID_v7 = 21;
  uint16_t LblDist_v7 = 21;
  uint8_t DevProfile_v7 = 1;

  // Sections 001 and 003, the dynamic variables (both sections hold PV1Unit and PV1Value).
  float PV1Value = -6951.42f;
  uint8_t PV1Unit = 13;
  float PV2Value = 23.93f;
  uint8_t PV2Unit = 32;
  float PV3Value = 24.4141f;
  uint8_t PV3Unit = 32;
  float PV4Value = -0.0113f;
  uint8_t PV4Unit = 32;

  // Derived from the PV and the range, never read from the file.
  float Span = 1.0f;
  float LoopCurrent = 12.057589f;  // mA
  float PercentOfRange = 50.36f;

  // Sections 012 and 013, packed ASCII texts and the date.
  std::array<uint8_t, 24> Message{};
  std::array<uint8_t, 6> TagName{};
  std::array<uint8_t, 12> Descriptor{};
  uint8_t Day = 21;
  uint8_t Month = 7;
  uint8_t Year = 115;  // years since 1900

  // Section 014, transducer.
  uint32_t TransducerSN = 0x178533;  // 24 bits
  uint8_t LimitUnit = 13;
  float UpLimit = 22068.0f;
  float LoLimit = -22068.0f;
  float MinSpan = 220.6798f;

  // Section 015, output.
  uint8_t PVAlmSelCode = 239;
  uint8_t PVTransferFC = 0;
  uint8_t RangeUnit = 13;
  float UpRangeValue = 0.0f;
  float LoRangeValue = -13999.94f;
  float PVDampValue;  // initialised from its bit pattern in the constructor
  uint8_t WrProtCode = 0;

  // Section 016.
  uint32_t FinalAssemblyNum = 0x130261;  // 24 bits

  // Section 020: LongTag1..LongTag32.
  std::array<uint8_t, 32> LongTag{};

  // Section 048: the 25 bytes of the additional device status. Byte 13 is never decoded from
  // the file (the analog-fixed byte belongs to the command layer) and stays 0.
  std::array<uint8_t, 25> Cmd48Status{};

  // Section 109.
  uint8_t BurstMode = 0;
};

}  // namespace qln
