// The numbers a Control Object and a Scale service object exchange. Values as the published
// OPOS header definitions give them: result codes, states and the common property indexes
// from Opos.h, the Scale's property indexes from OposScal.h (PIDX_SCAL = 9000), and the
// Scale's unit, status-notify, status-update and extended result values from OposScal.h.
#pragma once

#include <cstdint>

namespace qel::opos {

// Opos.h: "ResultCode" (OPOSERR = 100).
inline constexpr std::int32_t kSuccess = 0;
inline constexpr std::int32_t kClosed = 101;
inline constexpr std::int32_t kClaimed = 102;
inline constexpr std::int32_t kNotClaimed = 103;
inline constexpr std::int32_t kNoService = 104;
inline constexpr std::int32_t kDisabled = 105;
inline constexpr std::int32_t kIllegal = 106;
inline constexpr std::int32_t kNoHardware = 107;
inline constexpr std::int32_t kOffline = 108;
inline constexpr std::int32_t kNoExist = 109;
inline constexpr std::int32_t kFailure = 111;
inline constexpr std::int32_t kTimeout = 112;
inline constexpr std::int32_t kBusy = 113;
inline constexpr std::int32_t kExtended = 114;

// OposScal.h: "ResultCodeExtended" of the Scale (OPOSERREXT = 200).
inline constexpr std::int32_t kExtOverweight = 201;
inline constexpr std::int32_t kExtUnderZero = 202;
inline constexpr std::int32_t kExtSameWeight = 203;

// Opos.h: "State".
inline constexpr std::int32_t kStateClosed = 1;
inline constexpr std::int32_t kStateIdle = 2;
inline constexpr std::int32_t kStateBusy = 3;
inline constexpr std::int32_t kStateError = 4;

// Opos.h: timeouts, health check levels, error locus and response, power values.
inline constexpr std::int32_t kForever = -1;
inline constexpr std::int32_t kHealthInternal = 1;
inline constexpr std::int32_t kHealthExternal = 2;
inline constexpr std::int32_t kHealthInteractive = 3;
inline constexpr std::int32_t kLocusInput = 2;
inline constexpr std::int32_t kResponseRetry = 11;
inline constexpr std::int32_t kResponseClear = 12;
inline constexpr std::int32_t kPowerNotifyDisabled = 0;
inline constexpr std::int32_t kPowerReportingNone = 0;
inline constexpr std::int32_t kPowerStateUnknown = 2000;

// Opos.h: property indexes common to every device class.
inline constexpr std::int32_t kPidxClaimed = 1;
inline constexpr std::int32_t kPidxDataEventEnabled = 2;
inline constexpr std::int32_t kPidxDeviceEnabled = 3;
inline constexpr std::int32_t kPidxFreezeEvents = 4;
inline constexpr std::int32_t kPidxOutputId = 5;
inline constexpr std::int32_t kPidxResultCode = 6;
inline constexpr std::int32_t kPidxResultCodeExtended = 7;
inline constexpr std::int32_t kPidxServiceObjectVersion = 8;
inline constexpr std::int32_t kPidxState = 9;
inline constexpr std::int32_t kPidxAutoDisable = 10;
inline constexpr std::int32_t kPidxBinaryConversion = 11;
inline constexpr std::int32_t kPidxDataCount = 12;
inline constexpr std::int32_t kPidxPowerNotify = 13;
inline constexpr std::int32_t kPidxPowerState = 14;
inline constexpr std::int32_t kPidxCapPowerReporting = 501;
inline constexpr std::int32_t kPidxCapStatisticsReporting = 502;
inline constexpr std::int32_t kPidxCapUpdateStatistics = 503;
inline constexpr std::int32_t kPidxCapCompareFirmwareVersion = 504;
inline constexpr std::int32_t kPidxCapUpdateFirmware = 505;
inline constexpr std::int32_t kPidxCheckHealthText = 1000001;
inline constexpr std::int32_t kPidxDeviceDescription = 1000002;
inline constexpr std::int32_t kPidxDeviceName = 1000003;
inline constexpr std::int32_t kPidxServiceObjectDescription = 1000004;

// OposScal.h: the Scale's property indexes.
inline constexpr std::int32_t kPidxMaximumWeight = 9001;
inline constexpr std::int32_t kPidxWeightUnit = 9002;
inline constexpr std::int32_t kPidxAsyncMode = 9003;
inline constexpr std::int32_t kPidxMaxDisplayTextChars = 9004;
inline constexpr std::int32_t kPidxTareWeight = 9005;
inline constexpr std::int32_t kPidxScaleLiveWeight = 9006;
inline constexpr std::int32_t kPidxStatusNotify = 9007;
inline constexpr std::int32_t kPidxZeroValid = 9008;
inline constexpr std::int32_t kPidxCapDisplay = 9501;
inline constexpr std::int32_t kPidxCapDisplayText = 9502;
inline constexpr std::int32_t kPidxCapPriceCalculating = 9503;
inline constexpr std::int32_t kPidxCapTareWeight = 9504;
inline constexpr std::int32_t kPidxCapZeroScale = 9505;
inline constexpr std::int32_t kPidxCapStatusUpdate = 9506;

// OposScal.h: "WeightUnit", "StatusNotify" and the StatusUpdateEvent's live weight values.
inline constexpr std::int32_t kUnitGram = 1;
inline constexpr std::int32_t kUnitKilogram = 2;
inline constexpr std::int32_t kUnitOunce = 3;
inline constexpr std::int32_t kUnitPound = 4;
inline constexpr std::int32_t kNotifyDisabled = 1;
inline constexpr std::int32_t kNotifyEnabled = 2;
inline constexpr std::int32_t kStatusStableWeight = 11;
inline constexpr std::int32_t kStatusWeightUnstable = 12;
inline constexpr std::int32_t kStatusWeightZero = 13;
inline constexpr std::int32_t kStatusOverweight = 14;
inline constexpr std::int32_t kStatusNotReady = 15;
inline constexpr std::int32_t kStatusUnderZero = 16;

// UnifiedPOS 1.14 as OPOS writes a version: major * 1000000 + minor * 1000 + build.
inline constexpr std::int32_t kServiceObjectVersion = 1014000;

}  // namespace qel::opos
