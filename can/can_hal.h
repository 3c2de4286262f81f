// CAN bus access layer: the one path to the NMEA 2000 bus. Frames travel
// over a SocketCAN raw socket; the interface's bit timing, controller mode
// and up/down state are set through libsocketcan. One channel exists,
// channel 0 on can0: HalOpen refuses any other number, and the other
// operations take whatever number they are given to mean channel 0. Every
// operation returns 0 or one of the codes below and prints nothing; only
// StartCanBus reports.
#pragma once

#include <time.h>

#include <cstdint>

// Result codes.
inline constexpr int kHalOk = 0;
inline constexpr int kHalErrorInterface = -1;       // libsocketcan failed, or bit timing not met
inline constexpr int kHalErrorNoFrame = -2;         // no data frame waiting
inline constexpr int kHalErrorNotInitialised = -8;  // HalOpen before HalInit
inline constexpr int kHalErrorNoSocket = -9;        // no socket, or setting one up failed
inline constexpr int kHalErrorChannel = -10;        // channel other than 0
inline constexpr int kHalErrorWrite = -12;          // writing the frame failed, or wrote part of it
inline constexpr int kHalErrorTransmitFull = -13;   // transmit queue full (ENOBUFS): the same frame
                                                    // may go a moment later
inline constexpr int kHalErrorAlreadyOpen = -19;    // HalOpen on an open channel

// A frame as the layer's callers see it. Always sent as an extended (29-bit)
// frame; received standard frames arrive in the same field, unmarked.
struct CanFrame {
  uint32_t id;     // identifier in bits 0-28
  uint8_t length;  // valid bytes in data, 0 to 8
  uint8_t data[8];
};

inline constexpr int kHalChannelCount = 1;

struct HalChannel {
  int open;    // 1 after HalOpen, 0 after HalClose
  int fd;      // the raw socket; -1 = none
  int bus_on;  // 0 after a bus-off error frame or a bus-off state read
  char ifname[8];
  uint32_t bitrate;  // bit/s
  uint32_t tq_ns;    // time quantum as last computed
  uint8_t prop_seg;  // segments and jump width in time quanta
  uint8_t phase_seg1;
  uint8_t phase_seg2;
  uint8_t sjw;
};

// The layer's channel table.
extern HalChannel hal_channels[kHalChannelCount];

// What HalGetBusStatus reports. The reserved fields keep the record's layout
// (32 bytes) and are always 0.
struct HalBusStatus {
  uint32_t bus_off;  // 1 in bus-off or beyond
  uint32_t reserved1;
  uint16_t rx_dropped;  // low 16 bits of the interface counter
  uint16_t reserved2;
  uint32_t reserved3;
  uint32_t rx_frames;
  uint32_t tx_frames;
  uint32_t tx_errors;  // 255 in bus-off
  uint32_t rx_errors;
};

// Sets channel 0 to its defaults (can0, 250 kbit/s, no socket) with the time
// quantum chosen for the controller's clock. -1 when the clock cannot be
// read. Does not touch the interface.
int HalInit();

// Configures the interface with the channel's timing and creates its socket.
int HalOpen(int channel);

// Records the bit rate, then configures the interface for it when it can be
// met exactly within the controller's limits; -1 otherwise.
int HalSetBusSpeed(int channel, uint32_t bitrate);

// Starts the interface (on non-zero) or stops it behind a fresh socket.
int HalSetBusState(int channel, int on);

// Writes one extended frame without waiting. Its echo, when its
// transmission completes, comes back to HalReceiveFrames marked as the
// socket's own (when the receive filter lets it through); HalReceiveFrame
// passes own frames on only after a send with receive_own 1. -13 tells
// only a full transmit queue.
int HalSendFrame(int channel, const CanFrame* frame, int receive_own);

// Fills frame with the next waiting data frame without blocking; error
// frames update bus_on and remote frames are dropped on the way.
int HalReceiveFrame(int channel, CanFrame* frame);

// What HalReceiveFrames tells of a frame besides its bytes.
inline constexpr uint32_t kHalFrameError = 0x01;      // an error frame: the frame's id holds its
                                                      // CAN_ERR_* classes, its data their details
inline constexpr uint32_t kHalFrameBusOff = 0x02;     // an error frame telling of bus-off
inline constexpr uint32_t kHalFrameRestarted = 0x04;  // an error frame telling the controller restarted
inline constexpr uint32_t kHalFrameOwn = 0x08;        // this socket's own, back when it reached the bus
inline constexpr uint32_t kHalFrameStandard = 0x10;   // an 11-bit identifier

struct HalReceived {
  CanFrame frame;  // bytes beyond the length are 0
  uint32_t flags;  // kHalFrame*
  timespec stamp;  // the kernel's receipt on CLOCK_REALTIME; {0, 0} when it gave none
};

// The most frames one HalReceiveFrames call reads.
inline constexpr int kHalMostFramesPerRead = 32;

// Reads up to max waiting frames (at most kHalMostFramesPerRead) in one
// system call without blocking, data and error frames alike, in the order
// they came; remote frames are dropped. Error frames update bus_on as
// HalReceiveFrame does. The count stored (0 when all read were dropped, or
// max is below 1), -2 when none was waiting, -9 without a socket.
// When more is given, it tells whether more frames may be waiting (the
// call took as many as it could): a caller that drains the socket needs no
// further call to learn that it is empty.
int HalReceiveFrames(int channel, HalReceived* frames, int max, bool* more = nullptr);

int HalClose(int channel);

// What the layer has seen of the bus, without asking the interface while it
// is up: the interface went down (a socket error or a send said so), the
// controller went bus-off (an error frame said so, until a restart frame),
// or no socket exists.
enum HalLinkState : int32_t {
  HalLinkUp = 0,
  HalLinkDown = 1,
  HalLinkBusOff = 2,
  HalLinkNoSocket = 3,
};

// The channel's link state. While the interface is down each call asks its
// flags once (the socket learns of the way down, not of the way back up).
HalLinkState HalGetLinkState(int channel);

// Lets the channel's sockets receive only the extended data frames whose
// identifier matches id in the bits of mask, so the kernel drops the rest
// of the bus's traffic before anything wakes up; error frames still come.
// Applied to the socket in use and to every socket made later. A mask of 0,
// the start, receives every frame.
int HalSetReceiveFilter(int channel, uint32_t id, uint32_t mask);

struct HalFilter {
  uint32_t id;
  uint32_t mask;
};

inline constexpr int kHalMostFilters = 4;

// The same for a frame matching any of count filters (1 to kHalMostFilters);
// -1 for another count, changing nothing. Any filter with mask 0 receives
// every frame.
int HalSetReceiveFilters(int channel, const HalFilter* filters, int count);

// 0 when the channel has a socket, -9 otherwise.
int HalIsOpen(int channel);

int HalGetBusStatus(int channel, HalBusStatus* status);

// What the channel's interface reports of itself, asked without touching
// it or the channel: for a check made beside a running guard.
struct HalInterfaceState {
  int32_t up;         // the interface is set up (IFF_UP)
  int32_t can_state;  // CAN_STATE_*: 0 error-active, 1 error-warning,
                      // 2 error-passive, 3 bus-off, 4 stopped, 5 sleeping;
                      // -1 when not known
  uint32_t bitrate;   // bit/s as configured; 0 when not known
  int32_t restart_ms;  // the driver restarts a bus-off controller after this
                       // long; 0: never (it stays off); -1 when not known
};

// Fills state; -1 when the interface does not exist.
int HalGetInterfaceState(int channel, HalInterfaceState* state);

// Back to the state at process start, for tests: HalInit not run, channel 0
// blank, no socket, no receive filter, the link not marked down. Closes
// nothing: a socket the channel had is the caller's to deal with.
void HalResetForTesting();

// Used inside the layer: creating and setting up the channel's socket, and
// configuring the interface (which closes and re-creates an existing socket).
int HalOpenSocket(int channel);
int HalSetBitTiming(int channel, uint32_t bitrate, uint8_t prop_seg, uint8_t phase_seg1,
                    uint8_t phase_seg2, uint8_t sjw);

// Brings can0 up at 250 kbit/s and opens its raw socket. Prints what failed;
// returns 0 when the bus is on, 1 when switching it on failed. receive_fd is
// given the socket the layer ended with, for the guard loop to watch, or -1
// when none could be made; the layer replaces its socket only while it
// configures the bus, never afterwards.
int StartCanBus(int* receive_fd);
