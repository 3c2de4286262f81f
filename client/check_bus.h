// The bus as helmwatch-ctl check sees it: can0 and its controller, asked
// without changing anything, then up to kBusListenSeconds of listening for
// the autopilot's status. It never sends a frame.
#pragma once

inline constexpr long kBusListenSeconds = 3;

// Reports can0, the autopilot and the command source.
void CheckBus();
