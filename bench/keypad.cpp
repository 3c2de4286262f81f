#include "bench/keypad.h"

#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr int kNodeWaitMs = 5000;  // bounds the wait for the kernel's event node

bool Emit(int fd, uint16_t type, uint16_t code, int32_t value) {
  input_event event{};
  event.type = type;
  event.code = code;
  event.value = value;
  return write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

void SleepMs(int ms) {
  timespec delay{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

}  // namespace

bool CreateKeypad(SimKeypad* keypad, const char* name, const int* keys, int key_count,
                  std::string* error) {
  const int fd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("/dev/uinput: ") + std::strerror(errno);
    return false;
  }
  bool ok = ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_EVBIT, EV_SYN) == 0;
  for (int i = 0; ok && i < key_count; ++i) ok = ioctl(fd, UI_SET_KEYBIT, keys[i]) == 0;
  uinput_setup setup{};
  setup.id.bustype = BUS_VIRTUAL;
  setup.id.vendor = 0x1;
  setup.id.product = 0x1;
  std::strncpy(setup.name, name, UINPUT_MAX_NAME_SIZE - 1);
  ok = ok && ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
  char sysname[64] = {};
  ok = ok && ioctl(fd, UI_GET_SYSNAME(sizeof sysname - 1), sysname) >= 0;
  if (!ok) {
    *error = std::string("uinput set-up: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  // The event node appears under the new input device's sysfs folder; devtmpfs
  // creates /dev/input/eventN for it without udev.
  const std::string folder = std::string("/sys/devices/virtual/input/") + sysname;
  for (int waited = 0; waited < kNodeWaitMs; waited += 10) {
    for (int n = 0; n < 64; ++n) {
      const std::string event = "event" + std::to_string(n);
      if (access((folder + "/" + event).c_str(), F_OK) == 0 &&
          access(("/dev/input/" + event).c_str(), R_OK) == 0) {
        keypad->uinput_fd = fd;
        keypad->event_path = "/dev/input/" + event;
        return true;
      }
    }
    SleepMs(10);
  }
  *error = "no event device appeared under " + folder;
  ioctl(fd, UI_DEV_DESTROY);
  close(fd);
  return false;
}

bool WriteKeyEdge(const SimKeypad& keypad, int key, int value) {
  return Emit(keypad.uinput_fd, EV_KEY, static_cast<uint16_t>(key), value) &&
         Emit(keypad.uinput_fd, EV_SYN, SYN_REPORT, 0);
}

bool PressKey(const SimKeypad& keypad, int key, int hold_ms) {
  if (!WriteKeyEdge(keypad, key, 1)) return false;
  SleepMs(hold_ms);
  return WriteKeyEdge(keypad, key, 0);
}

void DestroyKeypad(SimKeypad* keypad) {
  if (keypad->uinput_fd < 0) return;
  ioctl(keypad->uinput_fd, UI_DEV_DESTROY);
  close(keypad->uinput_fd);
  keypad->uinput_fd = -1;
  keypad->event_path.clear();
}
