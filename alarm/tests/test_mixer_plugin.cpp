// An ALSA control device for machines without a sound card: one mixer
// element of two channels whose name and range the configuration gives, and
// a file to which every value written to it is appended ("v0 v1\n"). ALSA
// loads it as a plugin for a configuration such as
//   ctl.default { type helmwatch_test  lib "<this module>"
//                 element "DAC Playback Volume"  min 0  max 255
//                 record "/tmp/x/volume"  refuse false }
// An element whose name ends in "Switch" is an on/off switch; with refuse
// true every write is refused.
#include <alsa/asoundlib.h>
#include <alsa/control_external.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr unsigned kChannels = 2;

struct TestMixer {
  snd_ctl_ext_t ext;
  std::string element;
  long min = 0;
  long max = 100;
  long values[kChannels] = {0, 0};
  std::string record;
  bool refuse = false;
};

TestMixer* MixerOf(snd_ctl_ext_t* ext) { return static_cast<TestMixer*>(ext->private_data); }

bool IsSwitch(const TestMixer* mixer) {
  const std::string suffix = "Switch";
  return mixer->element.size() >= suffix.size() &&
         mixer->element.compare(mixer->element.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void Close(snd_ctl_ext_t* ext) {
  TestMixer* mixer = MixerOf(ext);
  close(ext->poll_fd);
  delete mixer;
}

int ElementCount(snd_ctl_ext_t*) { return 1; }

int ElementList(snd_ctl_ext_t* ext, unsigned offset, snd_ctl_elem_id_t* id) {
  if (offset != 0) return -EINVAL;
  snd_ctl_elem_id_set_interface(id, SND_CTL_ELEM_IFACE_MIXER);
  snd_ctl_elem_id_set_name(id, MixerOf(ext)->element.c_str());
  return 0;
}

snd_ctl_ext_key_t FindElement(snd_ctl_ext_t* ext, const snd_ctl_elem_id_t* id) {
  return MixerOf(ext)->element == snd_ctl_elem_id_get_name(id) ? 0 : SND_CTL_EXT_KEY_NOT_FOUND;
}

int GetAttribute(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, int* type, unsigned* access, unsigned* count) {
  *type = IsSwitch(MixerOf(ext)) ? SND_CTL_ELEM_TYPE_BOOLEAN : SND_CTL_ELEM_TYPE_INTEGER;
  *access = SND_CTL_EXT_ACCESS_READWRITE;
  *count = kChannels;
  return 0;
}

int GetIntegerInfo(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, long* min, long* max, long* step) {
  *min = MixerOf(ext)->min;
  *max = MixerOf(ext)->max;
  *step = 1;
  return 0;
}

int ReadInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, long* values) {
  for (unsigned channel = 0; channel < kChannels; ++channel) values[channel] = MixerOf(ext)->values[channel];
  return 0;
}

int WriteInteger(snd_ctl_ext_t* ext, snd_ctl_ext_key_t, long* values) {
  TestMixer* mixer = MixerOf(ext);
  if (mixer->refuse) return -EPERM;
  const std::string line = std::to_string(values[0]) + " " + std::to_string(values[1]) + "\n";
  const int fd = open(mixer->record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    const ssize_t written = write(fd, line.data(), line.size());
    static_cast<void>(written);
    close(fd);
  }
  bool changed = false;
  for (unsigned channel = 0; channel < kChannels; ++channel) {
    changed = changed || mixer->values[channel] != values[channel];
    mixer->values[channel] = values[channel];
  }
  return changed ? 1 : 0;
}

void SubscribeEvents(snd_ctl_ext_t*, int) {}

int ReadEvent(snd_ctl_ext_t*, snd_ctl_elem_id_t*, unsigned*) { return -EAGAIN; }

const snd_ctl_ext_callback_t kCallbacks = [] {
  snd_ctl_ext_callback_t callbacks = {};
  callbacks.close = Close;
  callbacks.elem_count = ElementCount;
  callbacks.elem_list = ElementList;
  callbacks.find_elem = FindElement;
  callbacks.get_attribute = GetAttribute;
  callbacks.get_integer_info = GetIntegerInfo;
  callbacks.read_integer = ReadInteger;
  callbacks.write_integer = WriteInteger;
  callbacks.subscribe_events = SubscribeEvents;
  callbacks.read_event = ReadEvent;
  return callbacks;
}();

// Reads the plugin's own fields; false on one it does not know.
bool ReadConfig(snd_config_t* conf, TestMixer* mixer) {
  snd_config_iterator_t i;
  snd_config_iterator_t next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* field = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(field, &id) < 0) continue;
    const std::string name = id;
    const char* text = nullptr;
    long number = 0;
    if (name == "comment" || name == "type" || name == "lib") continue;
    if (name == "element" && snd_config_get_string(field, &text) >= 0) {
      mixer->element = text;
    } else if (name == "record" && snd_config_get_string(field, &text) >= 0) {
      mixer->record = text;
    } else if (name == "min" && snd_config_get_integer(field, &number) >= 0) {
      mixer->min = number;
    } else if (name == "max" && snd_config_get_integer(field, &number) >= 0) {
      mixer->max = number;
    } else if (name == "refuse") {
      const int refuse = snd_config_get_bool(field);
      if (refuse < 0) return false;
      mixer->refuse = refuse != 0;
    } else {
      std::fprintf(stderr, "helmwatch_test control: unknown field %s\n", id);
      return false;
    }
  }
  return !mixer->element.empty();
}

}  // namespace

extern "C" {

SND_CTL_PLUGIN_DEFINE_FUNC(helmwatch_test) {
  static_cast<void>(root);
  auto* mixer = new TestMixer;
  if (!ReadConfig(conf, mixer)) {
    delete mixer;
    return -EINVAL;
  }
  // Just below the top: every setting the tests make is a change, which is
  // what the mixer layer writes.
  for (long& value : mixer->values) value = mixer->max - 1;
  mixer->ext.version = SND_CTL_EXT_VERSION;
  mixer->ext.card_idx = 0;
  std::snprintf(mixer->ext.id, sizeof mixer->ext.id, "HelmwatchTest");
  std::snprintf(mixer->ext.driver, sizeof mixer->ext.driver, "helmwatch_test");
  std::snprintf(mixer->ext.name, sizeof mixer->ext.name, "helmwatch test mixer");
  std::snprintf(mixer->ext.longname, sizeof mixer->ext.longname, "helmwatch test mixer");
  std::snprintf(mixer->ext.mixername, sizeof mixer->ext.mixername, "helmwatch test mixer");
  mixer->ext.poll_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // never signalled: no events
  mixer->ext.callback = &kCallbacks;
  mixer->ext.private_data = mixer;
  const int error = snd_ctl_ext_create(&mixer->ext, name, mode);
  if (error < 0) {
    close(mixer->ext.poll_fd);
    delete mixer;
    return error;
  }
  *handlep = mixer->ext.handle;
  return 0;
}

SND_CTL_PLUGIN_SYMBOL(helmwatch_test)

}  // extern "C"
