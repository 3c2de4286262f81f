// First CAN layer: the unit is taken to have no can0. Start-up reports the
// same failures a unit without the interface reports, and no socket exists,
// so the guard runs every unconfirmed press to its retry limit.
#include "can/can_hal.h"

#include <cstdio>

namespace {

constexpr int kHalErrorInterface = -1;  // interface query or configuration failed
constexpr int kHalErrorNoSocket = -9;   // the channel has no socket
constexpr int kCanChannel = 0;
constexpr int kBusBitRate = 250000;

}  // namespace

int can_fd = -1;

int StartCanBus() {
  std::fprintf(stderr, "HalSetBusSpeed(%d,%d) returned error %d\n", kCanChannel,
               kBusBitRate, kHalErrorInterface);
  std::fprintf(stderr, "HalSetBusState(%d,1) returned error %d\n", kCanChannel,
               kHalErrorNoSocket);
  return 1;
}
