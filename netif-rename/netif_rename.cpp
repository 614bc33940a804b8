// netif-rename: give a network interface a new name.
//
// Built against the C library alone (no C++ runtime on the board), so only C
// headers and no C++ library facilities here.

#include <net/if.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

static const char USAGE_TEXT[] = "Usage: %s old new\n";
static const char TOO_LONG_TEXT[] = "%s: %s name '%s' is too long (at most %d bytes)\n";

// The kernel reads a 32-byte request on the 32-bit board: both names sit in
// the first 32 bytes, whatever the pointer size.
static_assert(offsetof(struct ifreq, ifr_name) == 0, "ifr_name must start the request");
static_assert(sizeof(((struct ifreq*)0)->ifr_name) == IFNAMSIZ, "ifr_name must be 16 bytes");
static_assert(offsetof(struct ifreq, ifr_newname) == IFNAMSIZ, "ifr_newname must follow ifr_name");
static_assert(sizeof(((struct ifreq*)0)->ifr_newname) == IFNAMSIZ, "ifr_newname must be 16 bytes");
static_assert(sizeof(void*) != 4 || sizeof(struct ifreq) == 32,
              "ifreq must be 32 bytes on a 32-bit target");

// Asks the kernel to rename oldName to newName; 0 on success, -1 on failure.
int renameInterface(const char* oldName, const char* newName) {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    perror("socket");
    return -1;
  }
  struct ifreq request;
  memset(&request, 0, sizeof request);
  // main refuses names of IFNAMSIZ bytes or more, so the zeroed request keeps
  // both terminated and GCC's truncation warning does not apply here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-truncation"
  strncpy(request.ifr_name, oldName, IFNAMSIZ);
  strncpy(request.ifr_newname, newName, IFNAMSIZ);
#pragma GCC diagnostic pop
  int result = ioctl(sock, SIOCSIFNAME, &request);
  if (result < 0) perror("ioctl");
  close(sock);
  return result;
}

// Refuses a name that would not fit the kernel's field with its terminator.
static bool nameFits(const char* program, const char* which, const char* name) {
  if (strlen(name) < IFNAMSIZ) return true;
  fprintf(stderr, TOO_LONG_TEXT, program, which, name, IFNAMSIZ - 1);
  return false;
}

// Checks the arguments and exits with the rename's result (-1 shows as 255).
int main(int argc, char** argv) {
  const char* program = argc > 0 && argv[0] ? argv[0] : "netif-rename";
  if (argc != 3) {
    printf(USAGE_TEXT, program);
    return 1;
  }
  if (!nameFits(program, "old", argv[1]) || !nameFits(program, "new", argv[2])) return 1;
  return renameInterface(argv[1], argv[2]);
}
