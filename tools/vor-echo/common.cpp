// Small helpers shared by the commands; the only file of the tool that knows the platform.
#include <csignal>
#include <cstdio>

#include "echo.h"

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#else
#  include <unistd.h>
#endif

namespace echo {

namespace {
volatile std::sig_atomic_t interrupt_flag = 0;

extern "C" void FlagInterrupt(int) { interrupt_flag = 1; }
}  // namespace

std::string ErrorText() {
  const int32_t number = VorErrNumGet();
  return std::string(VorErrNumStr(number)) + " (error " + std::to_string(number) + ")";
}

bool Succeeded(Event* event) {
  int32_t successful = 0;
  return VorEventGetSuccessful(event, &successful) && successful == 1;
}

uint32_t BytesMoved(Event* event) {
  uint32_t bytes = 0;
  VorEventGetBytesTransferred(event, &bytes);
  return bytes;
}

bool PostTransfer(Event*& event, TransferPostFn post, Link* link, Mux* mux, Buffer* buffer,
                  VorEventCallback callback, void* arg) {
  if (event != nullptr) return VorEventRepost(event) != 0;
  event = post(link, mux, buffer, callback, arg);
  return event != nullptr;
}

std::string DefaultNode(const std::string& driver) {
  if (VorStrCmpi(driver.c_str(), "local") != 0) return "127.0.0.1";
  char name[256] = {};
  return VorGetNodeName(name) ? name : "localhost";
}

std::string Describe(const Endpoint& endpoint) {
  if (VorStrCmpi(endpoint.driver.c_str(), "tcp") == 0)
    return "tcp " + endpoint.node + ":" + endpoint.address;
  return endpoint.driver + " " + endpoint.node + " \"" + endpoint.address + "\"";
}

bool StderrIsTerminal() {
#if defined(_WIN32)
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

void CatchInterrupts() {
  std::signal(SIGINT, FlagInterrupt);
  std::signal(SIGTERM, FlagInterrupt);
}

bool InterruptRequested() { return interrupt_flag != 0; }

void UseBinaryStdio() {
#if defined(_WIN32)
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
}

int32_t ReadStdin(char* area, int32_t size) {
#if defined(_WIN32)
  return _read(0, area, static_cast<unsigned>(size));
#else
  return static_cast<int32_t>(read(0, area, static_cast<size_t>(size)));
#endif
}

}  // namespace echo
