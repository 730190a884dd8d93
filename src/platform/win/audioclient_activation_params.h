#pragma once
// The process-loopback activation parameters, which mingw-w64 does not ship:
// declared here as Windows defines them (12 bytes, the union at offset 4).
#include <windows.h>

#include <cstddef>

namespace nimbra::platform {

enum AUDIOCLIENT_ACTIVATION_TYPE : INT32 {
  AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
  AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};

enum PROCESS_LOOPBACK_MODE : INT32 {
  PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
  PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};

struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
  DWORD TargetProcessId;
  PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};

struct AUDIOCLIENT_ACTIVATION_PARAMS {
  AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
  union {
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
  };
};

static_assert(sizeof(AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS) == 8);
static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12);
static_assert(offsetof(AUDIOCLIENT_ACTIVATION_PARAMS, ProcessLoopbackParams) == 4);

inline constexpr const wchar_t* VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK = L"VAD\\Process_Loopback";

}  // namespace nimbra::platform
