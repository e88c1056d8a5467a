// The process-wide table of fixed values. Written once, at compile time, and
// only read afterwards: the player has no configuration file and no command line.
#pragma once

#include <cstdint>

#include "platform/threads.h"

namespace quenda {

struct PlayerSettingsTable {
    std::uint64_t LibraryMode;           // mode argument of every library call
    double NominalRate;                  // nominal input rate; the probe asks for twice it
    std::int32_t DecoderInitRate;        // rate the decoder is initialised with
    std::int64_t BlockBytes;             // one block of decoded input: 90 s at 44.1 kHz
    std::int64_t OverlapBytes;           // kernel and overlap buffers, and every buffer's spare room
    std::int64_t QuarterBytes;           // one convolution worker's share of a block
    double UnitScale;                    // a factor of one in the rate and kernel arithmetic
    double OutputBufferSeconds;          // output device buffer
    std::int32_t NetBufferMilliseconds;  // decoder network buffer
    platform::ThreadPriority PumpReadPriority;  // pump while it reads and processes
    platform::ThreadPriority PumpWaitPriority;  // pump while it waits for the output
    platform::ThreadPriority WorkerPriority;    // each convolution worker
    std::int32_t ProgressStyle;          // progress field drawn without a border
};

inline constexpr PlayerSettingsTable PlayerSettings{
    .LibraryMode = 0,
    .NominalRate = 44100.0,
    .DecoderInitRate = 44100,
    .BlockBytes = 31752000,
    .OverlapBytes = 524288,
    .QuarterBytes = 7938000,
    .UnitScale = 1.0,
    .OutputBufferSeconds = 0.016,
    .NetBufferMilliseconds = 90000,
    .PumpReadPriority = platform::ThreadPriority::TimeCritical,
    .PumpWaitPriority = platform::ThreadPriority::BelowNormal,
    .WorkerPriority = platform::ThreadPriority::AboveNormal,
    .ProgressStyle = 2,
};

// Size of each of the six large block buffers: a processed block at twice the
// input rate plus the spare room.
inline constexpr std::int64_t BlockBufferBytes = 2 * PlayerSettings.BlockBytes + PlayerSettings.OverlapBytes;

static_assert(PlayerSettings.BlockBytes == 90 * 44100 * 2 * 4);
static_assert(PlayerSettings.QuarterBytes * 4 == PlayerSettings.BlockBytes);
static_assert(BlockBufferBytes == 64028288);

// An 8-byte word holding 0; its address is the fill value of every clear of
// sample memory.
extern const std::uint64_t ZeroWord;

}  // namespace quenda
