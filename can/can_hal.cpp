#include "can/can_hal.h"

#include <fcntl.h>
#include <libsocketcan.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/log_line.h"

namespace {

constexpr int kCanChannel = 0;
constexpr int kBusBitRate = 250000;  // NMEA 2000

// A 30 MHz controller meets 250 kbit/s only with 15 quanta a bit (prescaler
// 8); 16 quanta suit the 8, 16, 24, 32, 40, 48 and 80 MHz clocks.
constexpr uint32_t kThirtyMegahertz = 30000000;
constexpr uint32_t kTqNsThirtyMegahertz = 267;
constexpr uint8_t kPropSegThirtyMegahertz = 5;
constexpr uint32_t kTqNsOtherClocks = 250;
constexpr uint8_t kPropSegOtherClocks = 6;
constexpr uint8_t kPhaseSeg1 = 7;
constexpr uint8_t kPhaseSeg2 = 2;
constexpr uint8_t kSjw = 1;

constexpr uint32_t kNanosecondsPerSecond = 1000000000;

// After a bus-off the driver restarts the controller by itself this long
// after: the guard need not act, and its socket stays the one the loop
// waits on. Well within the 250 ms between repeated commands, so a transient
// bus-off costs at most one of them; long enough that a controller with a
// lasting fault (a shorted bus, a wrong bit rate) rejoins ten times a
// second, not in a storm of error frames.
constexpr uint32_t kRestartMs = 100;

// Bus-error reporting on; loopback, listen-only, triple sampling and one-shot
// off, so the controller acks and retries like any node on the bus.
constexpr uint32_t kCtrlModeMask = CAN_CTRLMODE_LOOPBACK | CAN_CTRLMODE_LISTENONLY |
                                   CAN_CTRLMODE_3_SAMPLES | CAN_CTRLMODE_ONE_SHOT |
                                   CAN_CTRLMODE_BERR_REPORTING;
constexpr uint32_t kCtrlModeFlags = CAN_CTRLMODE_BERR_REPORTING;
static_assert(kCtrlModeMask == 0x1F && kCtrlModeFlags == 0x10);

// Error frames that tell whether the bus is on: bus-off and restart, plus the
// transmit time-out, controller and missing-ack classes.
constexpr can_err_mask_t kErrorFrameClasses =
    CAN_ERR_TX_TIMEOUT | CAN_ERR_CRTL | CAN_ERR_ACK | CAN_ERR_BUSOFF | CAN_ERR_RESTARTED;
static_assert(kErrorFrameClasses == 0x165);

constexpr int kBusOffTxErrors = 255;

static_assert(sizeof(can_frame) == 16);
static_assert(sizeof(CanFrame::data) == CAN_MAX_DLEN);
// The status record's layout is what its readers were built against.
static_assert(offsetof(HalBusStatus, rx_dropped) == 8);
static_assert(offsetof(HalBusStatus, rx_frames) == 16);
static_assert(offsetof(HalBusStatus, rx_errors) == 28);
static_assert(sizeof(HalBusStatus) == 32);

HalChannel& Channel() { return hal_channels[kCanChannel]; }

// The receive filters every socket of the channel gets; none at all: every
// frame.
can_filter receive_filters[kHalMostFilters] = {};
int receive_filter_count = 0;

// Whether HalReceiveFrame passes own frames on: the latest send asked so.
bool own_frames_to_single_reads = false;

// HalReceiveFrames' buffers: one system call fills them, nothing allocated.
constexpr size_t kStampControlBytes = CMSG_SPACE(sizeof(timespec));
struct ReceiveBatch {
  mmsghdr messages[kHalMostFramesPerRead];
  iovec vectors[kHalMostFramesPerRead];
  can_frame frames[kHalMostFramesPerRead];
  alignas(cmsghdr) unsigned char control[kHalMostFramesPerRead][kStampControlBytes];
};
ReceiveBatch receive_batch;

// Whether HalInit ran.
int hal_initialised = 0;

// Set when a read or a write found the interface down; cleared by a frame
// received or the interface's flags showing it up again.
bool link_down = false;

// A filter that cannot be set costs only wake-ups, never a frame: the
// socket stays in use without it.
void ApplyReceiveFilter(int fd) {
  if (receive_filter_count == 0) return;
  (void)setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, receive_filters,
                   static_cast<socklen_t>(sizeof receive_filters[0] * static_cast<size_t>(receive_filter_count)));
}

// The frame's kernel stamp, when one came with it.
timespec StampOf(msghdr* message) {
  for (cmsghdr* part = CMSG_FIRSTHDR(message); part != nullptr; part = CMSG_NXTHDR(message, part)) {
    if (part->cmsg_level == SOL_SOCKET && part->cmsg_type == SCM_TIMESTAMPNS &&
        part->cmsg_len >= CMSG_LEN(sizeof(timespec))) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
      return stamp;
    }
  }
  return {0, 0};
}

// Closes the channel's socket and forgets its number: the next open
// anywhere in the process is handed that number, and nothing may then take
// it for the CAN socket.
void DropChannelSocket(HalChannel& channel) {
  close(channel.fd);
  channel.fd = -1;
}

// The raw socket's on/off options take an int.
int SetRawFlag(int fd, int option, int on) {
  return setsockopt(fd, SOL_CAN_RAW, option, &on, sizeof on);
}

// libsocketcan writes its own lines to standard error for an interface that
// does not exist, two for every query. A unit without can0 is a known state
// with a report of its own (StartCanBus), so the library is not asked then.
int GetClock(const char* ifname, can_clock* clock) {
  if (if_nametoindex(ifname) == 0) return -1;
  return can_get_clock(ifname, clock);
}

// Every limit the controller reports, first miss refuses.
bool WithinLimits(const can_bittiming_const& limits, uint32_t brp, uint8_t prop_seg,
                  uint8_t phase_seg1, uint8_t phase_seg2, uint8_t sjw) {
  const uint32_t tseg1 = uint32_t{prop_seg} + phase_seg1;
  if (tseg1 < limits.tseg1_min || tseg1 > limits.tseg1_max) return false;
  if (phase_seg2 < limits.tseg2_min || phase_seg2 > limits.tseg2_max) return false;
  if (sjw > limits.sjw_max) return false;
  if (brp < limits.brp_min || brp > limits.brp_max) return false;
  // A controller reporting no prescaler step has limits no timing can be
  // checked against.
  if (limits.brp_inc == 0) return false;
  return (brp - limits.brp_min) % limits.brp_inc == 0;
}

}  // namespace

// No socket before HalInit either: a zeroed fd would name standard input.
HalChannel hal_channels[kHalChannelCount] = {{0, -1, 0, "", 0, 0, 0, 0, 0, 0}};

void HalResetForTesting() {
  hal_initialised = 0;
  hal_channels[0] = HalChannel{0, -1, 0, "", 0, 0, 0, 0, 0, 0};
  receive_filter_count = 0;
  own_frames_to_single_reads = false;
  link_down = false;
}

int HalInit() {
  HalChannel& channel = Channel();
  std::snprintf(channel.ifname, sizeof channel.ifname, "can%d", kCanChannel);
  channel.open = 0;
  channel.fd = -1;
  channel.bitrate = kBusBitRate;

  can_clock clock = {};
  const int queried = GetClock(channel.ifname, &clock);
  if (queried == 0 && clock.freq == kThirtyMegahertz) {
    channel.tq_ns = kTqNsThirtyMegahertz;
    channel.prop_seg = kPropSegThirtyMegahertz;
  } else {
    channel.tq_ns = kTqNsOtherClocks;
    channel.prop_seg = kPropSegOtherClocks;
  }
  channel.phase_seg1 = kPhaseSeg1;
  channel.phase_seg2 = kPhaseSeg2;
  channel.sjw = kSjw;
  channel.bus_on = 0;

  hal_initialised = 1;
  return queried == 0 ? kHalOk : kHalErrorInterface;
}

int HalOpen(int channel_number) {
  if (hal_initialised == 0) return kHalErrorNotInitialised;
  if (channel_number != kCanChannel) return kHalErrorChannel;
  HalChannel& channel = Channel();
  if (channel.open == 1) return kHalErrorAlreadyOpen;

  if (HalSetBitTiming(channel_number, channel.bitrate, channel.prop_seg, channel.phase_seg1,
                      channel.phase_seg2, channel.sjw) != kHalOk) {
    return kHalErrorInterface;
  }
  const int result = HalOpenSocket(kCanChannel);
  if (result == kHalOk) channel.open = 1;
  return result;
}

int HalSetBusSpeed(int channel_number, uint32_t bitrate) {
  HalChannel& channel = Channel();
  // Kept even when refused: a later HalOpen configures the requested rate.
  channel.bitrate = bitrate;
  return HalSetBitTiming(channel_number, bitrate, channel.prop_seg, channel.phase_seg1,
                         channel.phase_seg2, channel.sjw);
}

int HalSetBitTiming(int /*channel_number*/, uint32_t bitrate, uint8_t prop_seg, uint8_t phase_seg1,
                    uint8_t phase_seg2, uint8_t sjw) {
  HalChannel& channel = Channel();
  // Unsigned 32-bit arithmetic throughout, the width of the kernel's timing
  // figures; a rate whose figures wrap comes out unmet and is refused.
  const uint32_t quanta = uint32_t{prop_seg} + phase_seg1 + phase_seg2 + 1;
  const uint32_t quanta_per_second = bitrate * quanta;
  // A rate of 0, or one whose product wraps to 0, can never be met.
  if (quanta_per_second == 0) return kHalErrorInterface;
  // Rounded to the nearest nanosecond.
  const uint32_t tq = (quanta_per_second / 2 + kNanosecondsPerSecond) / quanta_per_second;

  can_clock clock = {};
  if (GetClock(channel.ifname, &clock) != 0) return kHalErrorInterface;
  can_bittiming_const limits = {};
  if (can_get_bittiming_const(channel.ifname, &limits) != 0) return kHalErrorInterface;

  // tq ns × freq Hz / 1e9, both scaled down by ten to stay within 32 bits at
  // the clocks and rates in use.
  const uint32_t brp = tq * (clock.freq / 10) / (kNanosecondsPerSecond / 10);
  // A clock too slow for the quantum: no prescaler at all.
  if (brp == 0) return kHalErrorInterface;
  const uint32_t actual = clock.freq / brp / quanta;
  if (actual != bitrate) return kHalErrorInterface;
  if (!WithinLimits(limits, brp, prop_seg, phase_seg1, phase_seg2, sjw)) {
    return kHalErrorInterface;
  }

  channel.bitrate = actual;
  channel.tq_ns = tq;
  channel.prop_seg = prop_seg;
  channel.phase_seg1 = phase_seg1;
  channel.phase_seg2 = phase_seg2;
  channel.sjw = sjw;

  // The timing can only be changed while the interface is down, and a socket
  // bound to it would see the interface go away under it.
  const bool had_socket = channel.fd >= 0;
  if (had_socket) DropChannelSocket(channel);

  if (can_do_stop(channel.ifname) != 0) return kHalErrorInterface;
  // Settable only while the interface is down, as here.
  (void)can_set_restart_ms(channel.ifname, kRestartMs);
  // bitrate, sample_point and brp left 0: the kernel derives the prescaler
  // from the quantum.
  can_bittiming timing = {};
  timing.tq = tq;
  timing.prop_seg = prop_seg;
  timing.phase_seg1 = phase_seg1;
  timing.phase_seg2 = phase_seg2;
  timing.sjw = sjw;
  (void)can_set_bittiming(channel.ifname, &timing);
  can_ctrlmode mode = {};
  mode.mask = kCtrlModeMask;
  mode.flags = kCtrlModeFlags;
  (void)can_set_ctrlmode(channel.ifname, &mode);
  if (can_do_start(channel.ifname) != 0) return kHalErrorInterface;

  if (had_socket) (void)HalOpenSocket(kCanChannel);
  return kHalOk;
}

int HalOpenSocket(int /*channel_number*/) {
  HalChannel& channel = Channel();
  channel.fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
  if (channel.fd < 0) {
    channel.fd = -1;
    return kHalErrorNoSocket;
  }
  channel.bus_on = 1;

  ifreq request = {};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "can%d", kCanChannel);
  if (ioctl(channel.fd, SIOCGIFINDEX, &request) < 0 ||
      SetRawFlag(channel.fd, CAN_RAW_LOOPBACK, 1) < 0 ||
      setsockopt(channel.fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &kErrorFrameClasses,
                 sizeof kErrorFrameClasses) < 0) {
    DropChannelSocket(channel);
    return kHalErrorNoSocket;
  }
  // Without either the socket still serves the guard; only the record of
  // what reached the bus, and when, is the poorer. Own frames come back when
  // their transmission completed, marked so, and only through the filter.
  (void)SetRawFlag(channel.fd, CAN_RAW_RECV_OWN_MSGS, 1);
  const int on = 1;
  (void)setsockopt(channel.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
  ApplyReceiveFilter(channel.fd);

  // Reading must never block the guard loop. A failed F_GETFL must not turn
  // into "set every flag".
  const int flags = fcntl(channel.fd, F_GETFL);
  (void)fcntl(channel.fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);

  sockaddr_can address = {};
  address.can_family = AF_CAN;
  address.can_ifindex = request.ifr_ifindex;
  if (bind(channel.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
    return kHalErrorNoSocket;
  }
  return kHalOk;
}

int HalSetBusState(int /*channel_number*/, int on) {
  HalChannel& channel = Channel();
  if (channel.fd < 0) return kHalErrorNoSocket;

  int result;
  if (on != 0) {
    result = can_do_start(channel.ifname);
  } else {
    DropChannelSocket(channel);
    result = can_do_stop(channel.ifname);
    // The channel keeps a bound socket while its interface is down.
    (void)HalOpenSocket(kCanChannel);
  }
  return result == 0 ? kHalOk : kHalErrorInterface;
}

int HalSendFrame(int /*channel_number*/, const CanFrame* frame, int receive_own) {
  const HalChannel& channel = Channel();
  if (channel.fd < 0) return kHalErrorNoSocket;

  // The kernel decides on the echo when the transmission completes, long
  // after the write: a socket option set per write would be decided by
  // whichever write came last. The own frames are told apart on receipt.
  own_frames_to_single_reads = receive_own == 1;

  can_frame out;
  std::memset(&out, 0, sizeof out);
  out.can_id = frame->id | CAN_EFF_FLAG;
  out.can_dlc = frame->length;
  std::memcpy(out.data, frame->data, sizeof out.data);

  // No retry and no waiting here: the caller knows whether a frame is worth
  // another try.
  const ssize_t written = write(channel.fd, &out, sizeof out);
  if (written == static_cast<ssize_t>(sizeof out)) return kHalOk;
  if (written < 0 && errno == ENOBUFS) return kHalErrorTransmitFull;
  if (written < 0 && errno == ENETDOWN) link_down = true;
  // Part of a frame is no frame; it is not for a retry of a full queue.
  if (written >= 0) errno = EIO;
  return kHalErrorWrite;
}

int HalReceiveFrame(int channel_number, CanFrame* frame) {
  for (;;) {
    HalReceived received;
    const int got = HalReceiveFrames(channel_number, &received, 1);
    if (got < 0) return got;
    if (got == 0 || (received.flags & kHalFrameError) != 0) continue;
    if ((received.flags & kHalFrameOwn) != 0 && !own_frames_to_single_reads) continue;
    frame->id = received.frame.id;
    frame->length = received.frame.length;
    // Bytes beyond the length keep what they held.
    std::memcpy(frame->data, received.frame.data, std::min<size_t>(frame->length, sizeof frame->data));
    return kHalOk;
  }
}

int HalReceiveFrames(int /*channel_number*/, HalReceived* frames, int max, bool* more) {
  HalChannel& channel = Channel();
  if (more != nullptr) *more = false;
  if (channel.fd < 0) return kHalErrorNoSocket;

  if (max < 1) return 0;
  ReceiveBatch& batch = receive_batch;
  const int wanted = std::min(max, kHalMostFramesPerRead);
  for (int i = 0; i < wanted; ++i) {
    batch.vectors[i] = {&batch.frames[i], sizeof batch.frames[i]};
    msghdr& header = batch.messages[i].msg_hdr;
    header = msghdr{};
    header.msg_iov = &batch.vectors[i];
    header.msg_iovlen = 1;
    header.msg_control = batch.control[i];
    header.msg_controllen = sizeof batch.control[i];
  }
  // Never the time-out argument: it is looked at only after a frame came,
  // so it cannot bound the wait. An error met after some frames is kept by
  // the kernel for the next call.
  const int got = recvmmsg(channel.fd, batch.messages, static_cast<unsigned int>(wanted), MSG_DONTWAIT, nullptr);
  if (got <= 0) {
    // The kernel reports an interface going down once, as a read error.
    if (got < 0 && errno == ENETDOWN) link_down = true;
    return kHalErrorNoFrame;
  }
  link_down = false;
  if (more != nullptr) *more = got == wanted;

  int stored = 0;
  for (int i = 0; i < got; ++i) {
    const can_frame& in = batch.frames[i];
    if (batch.messages[i].msg_len != sizeof in || (in.can_id & CAN_RTR_FLAG) != 0) continue;
    HalReceived& out = frames[stored];
    out = HalReceived{};
    if ((in.can_id & CAN_ERR_FLAG) != 0) {
      out.flags |= kHalFrameError;
      out.frame.id = in.can_id & CAN_ERR_MASK;
      if ((in.can_id & CAN_ERR_BUSOFF) != 0) {
        out.flags |= kHalFrameBusOff;
        channel.bus_on = 0;
      }
      if ((in.can_id & CAN_ERR_RESTARTED) != 0) {
        out.flags |= kHalFrameRestarted;
        channel.bus_on = 1;
      }
    } else {
      out.frame.id = in.can_id & CAN_EFF_MASK;
      if ((in.can_id & CAN_EFF_FLAG) == 0) out.flags |= kHalFrameStandard;
      // Read after the bus-off's error frame, it was received after it:
      // the controller is back, even when its restart frame was lost.
      channel.bus_on = 1;
    }
    if ((batch.messages[i].msg_hdr.msg_flags & MSG_CONFIRM) != 0) out.flags |= kHalFrameOwn;
    out.frame.length = in.can_dlc;
    const size_t count = std::min<size_t>(in.can_dlc, sizeof out.frame.data);
    std::memcpy(out.frame.data, in.data, count);
    out.stamp = StampOf(&batch.messages[i].msg_hdr);
    stored += 1;
  }
  return stored;
}

int HalClose(int /*channel_number*/) {
  HalChannel& channel = Channel();
  if (channel.fd >= 0) DropChannelSocket(channel);
  channel.open = 0;
  return kHalOk;
}

HalLinkState HalGetLinkState(int /*channel_number*/) {
  HalChannel& channel = Channel();
  if (channel.fd < 0) return HalLinkNoSocket;
  if (link_down) {
    ifreq request = {};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", channel.ifname);
    if (ioctl(channel.fd, SIOCGIFFLAGS, &request) != 0 || (request.ifr_flags & IFF_UP) == 0) {
      return HalLinkDown;
    }
    // A controller started again is error-active, whatever it was before.
    link_down = false;
    channel.bus_on = 1;
  }
  return channel.bus_on != 0 ? HalLinkUp : HalLinkBusOff;
}

int HalSetReceiveFilter(int channel_number, uint32_t id, uint32_t mask) {
  const HalFilter filter = {id, mask};
  return HalSetReceiveFilters(channel_number, &filter, 1);
}

int HalSetReceiveFilters(int /*channel_number*/, const HalFilter* filters, int count) {
  if (count < 1 || count > kHalMostFilters) return kHalErrorInterface;
  receive_filter_count = count;
  for (int i = 0; i < count; ++i) {
    // Extended data frames only: standard and remote frames never match.
    receive_filters[i].can_id = (filters[i].id & CAN_EFF_MASK) | CAN_EFF_FLAG;
    receive_filters[i].can_mask = (filters[i].mask & CAN_EFF_MASK) | CAN_EFF_FLAG | CAN_RTR_FLAG;
    if (filters[i].mask == 0) receive_filter_count = 0;
  }
  if (Channel().fd >= 0) ApplyReceiveFilter(Channel().fd);
  return kHalOk;
}

int HalIsOpen(int /*channel_number*/) { return Channel().fd >= 0 ? kHalOk : kHalErrorNoSocket; }

int HalGetBusStatus(int /*channel_number*/, HalBusStatus* status) {
  HalChannel& channel = Channel();
  if (channel.fd < 0) return kHalErrorNoSocket;
  std::memset(status, 0, sizeof *status);

  can_berr_counter counters = {};
  can_device_stats device = {};
  rtnl_link_stats64 link = {};
  if (can_get_berr_counter(channel.ifname, &counters) != 0 ||
      can_get_device_stats(channel.ifname, &device) != 0 ||
      can_get_link_stats(channel.ifname, &link) != 0) {
    return kHalErrorInterface;
  }
  status->rx_dropped = static_cast<uint16_t>(link.rx_dropped);
  status->tx_frames = static_cast<uint32_t>(link.tx_packets);
  status->rx_frames = static_cast<uint32_t>(link.rx_packets);
  status->rx_errors = counters.rxerr;
  status->tx_errors = counters.txerr;

  int state = 0;
  if (can_get_state(channel.ifname, &state) != 0) return kHalErrorInterface;
  channel.bus_on = state <= CAN_STATE_ERROR_PASSIVE ? 1 : 0;
  status->bus_off = channel.bus_on == 1 ? 0 : 1;
  if (status->bus_off == 1) status->tx_errors = kBusOffTxErrors;
  return kHalOk;
}

int HalGetInterfaceState(int /*channel_number*/, HalInterfaceState* state) {
  *state = HalInterfaceState{0, -1, 0, -1};
  char ifname[IFNAMSIZ];
  std::snprintf(ifname, sizeof ifname, "can%d", kCanChannel);
  // libsocketcan is asked only about an interface that exists (GetClock).
  if (if_nametoindex(ifname) == 0) return kHalErrorInterface;

  // Any socket carries the interface flag query; a CAN one is at hand.
  const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
  ifreq request = {};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", ifname);
  if (fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    state->up = (request.ifr_flags & IFF_UP) != 0 ? 1 : 0;
  }
  if (fd >= 0) close(fd);

  int can_state = 0;
  if (can_get_state(ifname, &can_state) == 0) state->can_state = can_state;
  can_bittiming timing = {};
  if (can_get_bittiming(ifname, &timing) == 0) state->bitrate = timing.bitrate;
  __u32 restart_ms = 0;
  if (can_get_restart_ms(ifname, &restart_ms) == 0) state->restart_ms = static_cast<int32_t>(restart_ms);
  return kHalOk;
}

int StartCanBus(int* receive_fd) {
  (void)HalInit();
  (void)HalOpen(kCanChannel);
  const int speed = HalSetBusSpeed(kCanChannel, kBusBitRate);
  if (speed != kHalOk) {
    LogLine("HalSetBusSpeed(%d,%d) returned error %d\n", kCanChannel, kBusBitRate,
                 speed);
  }
  const int state = HalSetBusState(kCanChannel, 1);
  if (state != kHalOk) {
    LogLine("HalSetBusState(%d,1) returned error %d\n", kCanChannel, state);
  }
  *receive_fd = Channel().fd;
  return state != kHalOk ? 1 : 0;
}
