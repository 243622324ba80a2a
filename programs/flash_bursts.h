#pragma once

// Flashes the status LED in bursts of burstCount full-brightness flashes,
// each burst followed by the cycle's rest, until the process is ended.
// The channel must already be open.
[[noreturn]] void flashBursts(int burstCount);
