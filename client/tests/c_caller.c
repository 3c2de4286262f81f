/* A C translation unit using the client header as a UI written in C would:
 * the header must compile as C and the library must link from C. */
#include "client/helmwatch_client.h"

int ConfirmFromC(const char *path) {
  const int fd = HelmwatchConnect(path);
  if (fd < 0) return -1;
  const int result = HelmwatchConfirm(fd);
  HelmwatchClose(fd);
  return result;
}
