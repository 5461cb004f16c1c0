// Error identifiers of the Noise machinery; 0 is success.
#pragma once

inline constexpr int NOISE_ERROR_NONE = 0;
inline constexpr int NOISE_ERROR_NO_MEMORY = 0x4501;
inline constexpr int NOISE_ERROR_UNKNOWN_ID = 0x4502;
inline constexpr int NOISE_ERROR_UNKNOWN_NAME = 0x4503;
inline constexpr int NOISE_ERROR_MAC_FAILURE = 0x4504;
inline constexpr int NOISE_ERROR_NOT_APPLICABLE = 0x4505;
inline constexpr int NOISE_ERROR_SYSTEM = 0x4506;
inline constexpr int NOISE_ERROR_REMOTE_KEY_REQUIRED = 0x4507;
inline constexpr int NOISE_ERROR_LOCAL_KEY_REQUIRED = 0x4508;
inline constexpr int NOISE_ERROR_PSK_REQUIRED = 0x4509;
inline constexpr int NOISE_ERROR_INVALID_LENGTH = 0x450A;
inline constexpr int NOISE_ERROR_INVALID_PARAM = 0x450B;
inline constexpr int NOISE_ERROR_INVALID_STATE = 0x450C;
inline constexpr int NOISE_ERROR_INVALID_NONCE = 0x450D;
inline constexpr int NOISE_ERROR_INVALID_PRIVATE_KEY = 0x450E;
inline constexpr int NOISE_ERROR_INVALID_PUBLIC_KEY = 0x450F;
