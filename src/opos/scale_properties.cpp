// The Scale service object's properties by their OPOS index.
#include "opos_constants.h"
#include "scale_service.h"

namespace qel::opos {

std::int32_t ScaleService::GetNumber(std::int32_t index) {
  if (index == kPidxState) {
    Done(kSuccess);
    if (!open_) return kStateClosed;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (async_pending_) return kStateBusy;
    for (const Event& event : events_) {
      if (event.kind == Event::kError) return kStateError;
    }
    return kStateIdle;
  }
  // ResultCode reads what the last call left; reading it changes nothing.
  if (index == kPidxResultCode) return result_;
  if (index == kPidxResultCodeExtended) return extended_;
  if (!open_) {
    Done(kClosed);
    return 0;
  }
  std::optional<std::int32_t> value = CommonNumber(index);
  if (!value) value = ScaleNumber(index);
  Done(value ? kSuccess : kIllegal);
  return value.value_or(0);
}

std::optional<std::int32_t> ScaleService::CommonNumber(std::int32_t index) {
  const std::lock_guard<std::mutex> lock(mutex_);
  switch (index) {
    case kPidxClaimed:
      return claim_ ? 1 : 0;
    case kPidxDataEventEnabled:
      return data_events_ ? 1 : 0;
    case kPidxDeviceEnabled:
      return enabled_ ? 1 : 0;
    case kPidxFreezeEvents:
      return frozen_ ? 1 : 0;
    case kPidxOutputId:
    case kPidxBinaryConversion:
    case kPidxCapPowerReporting:
    case kPidxCapStatisticsReporting:
    case kPidxCapUpdateStatistics:
    case kPidxCapCompareFirmwareVersion:
    case kPidxCapUpdateFirmware:
      return 0;
    case kPidxServiceObjectVersion:
      return kServiceObjectVersion;
    case kPidxAutoDisable:
      return auto_disable_ ? 1 : 0;
    case kPidxDataCount: {
      std::int32_t count = 0;
      for (const Event& event : events_) count += event.kind == Event::kData ? 1 : 0;
      return count;
    }
    case kPidxPowerNotify:
      return kPowerNotifyDisabled;
    case kPidxPowerState:
      return kPowerStateUnknown;
    default:
      return std::nullopt;
  }
}

std::optional<std::int32_t> ScaleService::ScaleNumber(std::int32_t index) {
  const std::lock_guard<std::mutex> lock(mutex_);
  switch (index) {
    case kPidxMaximumWeight:
      return settings_.maximum_weight;
    case kPidxWeightUnit:
      return settings_.weight_unit;
    case kPidxAsyncMode:
      return async_mode_ ? 1 : 0;
    case kPidxTareWeight: {
      // The tare the scale reports, where it does; else the one last set.
      if (last_ && !last_->tare.empty()) {
        Reading tare = *last_;
        tare.ok = true;
        tare.value = last_->tare;
        if (const auto weight = ReadingWeight(tare, settings_.weight_unit)) return *weight;
      }
      return tare_weight_;
    }
    case kPidxScaleLiveWeight:
      return live_weight_;
    case kPidxStatusNotify:
      return status_notify_;
    case kPidxZeroValid:
      return zero_valid_ ? 1 : 0;
    case kPidxCapZeroScale:
      return protocol_ == nullptr || !protocol_->zero.empty() ? 1 : 0;
    case kPidxCapTareWeight:
      return protocol_ == nullptr || !protocol_->tare.empty() ? 1 : 0;
    case kPidxCapStatusUpdate:
      return 1;
    case kPidxMaxDisplayTextChars:
    case kPidxCapDisplay:
    case kPidxCapDisplayText:
    case kPidxCapPriceCalculating:
      return 0;
    default:
      return std::nullopt;
  }
}

void ScaleService::SetNumber(std::int32_t index, std::int32_t value) {
  if (!open_) {
    Done(kClosed);
    return;
  }
  const std::int32_t common = SetCommonNumber(index, value);
  if (common != kNoService) {
    Done(common);
    return;
  }
  // Done() was called by the scale's own setters, some of which set an extended code.
  SetScaleNumber(index, value);
}

// kNoService: not a common property.
std::int32_t ScaleService::SetCommonNumber(std::int32_t index, std::int32_t value) {
  switch (index) {
    case kPidxDeviceEnabled:
      return SetEnabled(value != 0);
    case kPidxFreezeEvents:
      return FreezeEvents(value != 0);
    case kPidxDataEventEnabled: {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        data_events_ = value != 0;
      }
      if (value != 0) host_.EventsWaiting();
      return kSuccess;
    }
    case kPidxAutoDisable:
      auto_disable_ = value != 0;
      return kSuccess;
    case kPidxBinaryConversion:
      return value == 0 ? kSuccess : kIllegal;
    case kPidxPowerNotify:
      // No power reporting: only "disabled", and only while the device is.
      if (link_) return kIllegal;
      return value == kPowerNotifyDisabled ? kSuccess : kIllegal;
    default:
      return kNoService;
  }
}

std::int32_t ScaleService::SetScaleNumber(std::int32_t index, std::int32_t value) {
  switch (index) {
    case kPidxAsyncMode: {
      const std::lock_guard<std::mutex> lock(mutex_);
      async_mode_ = value != 0;
      break;
    }
    case kPidxZeroValid: {
      const std::lock_guard<std::mutex> lock(mutex_);
      zero_valid_ = value != 0;
      break;
    }
    case kPidxStatusNotify: {
      // Chosen before the device is enabled, as its live weight starts then.
      if (link_ || (value != kNotifyDisabled && value != kNotifyEnabled)) return Done(kIllegal);
      const std::lock_guard<std::mutex> lock(mutex_);
      status_notify_ = value;
      break;
    }
    case kPidxTareWeight: {
      if (open_ && protocol_ && protocol_->tare.empty()) return Done(kIllegal);
      const std::int32_t result = RunCommand(ScaleCommand::kTare);
      if (result == kSuccess) tare_weight_ = value;
      return result;
    }
    default:
      return Done(kIllegal);
  }
  return Done(kSuccess);
}

std::string ScaleService::GetString(std::int32_t index) {
  if (!open_) {
    Done(kClosed);
    return {};
  }
  Done(kSuccess);
  switch (index) {
    case kPidxCheckHealthText:
      return health_text_;
    case kPidxDeviceDescription:
      return "Retail scale on " + settings_.port;
    case kPidxDeviceName:
      return device_name_ + " (" + port_name_ + ")";
    case kPidxServiceObjectDescription:
      return "Qel_weigher Scale service object, UnifiedPOS 1.14";
    default:
      Done(kIllegal);
      return {};
  }
}

void ScaleService::SetString(std::int32_t, const std::string&) {
  // Every string property of the Scale is read-only.
  Done(open_ ? kIllegal : kClosed);
}

}  // namespace qel::opos
