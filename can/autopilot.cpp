// First autopilot messages, for a unit without a CAN socket: nothing can be
// received, so no address is ever learnt and no standby is ever reported.
#include "can/autopilot.h"

namespace {

constexpr int kHalErrorNoSocket = -9;

}  // namespace

int DrainCanInput() { return kHalErrorNoSocket; }

int IsApStandby() { return 0; }

void SendApStandby() {}
