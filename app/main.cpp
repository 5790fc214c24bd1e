// zav and zav-demo: the same tool, built against the dongle on USB (zav) or the virtual one
// (zav-demo). The service host and the CA to trust are fixed by the build.
#include "app/zav_app.h"
#include "service/config.h"
#include "support/log.h"
#include "support/text.h"

#ifndef ZAV_SERVICE_HOST
#error "ZAV_SERVICE_HOST must be defined by the build"
#endif
#ifndef ZAV_CA_FILE
#error "ZAV_CA_FILE must be defined by the build"
#endif

int main(int, char** argv) {
  // The log goes to standard output, which may be a pipe whose reader has gone or closed.
  PrepareStandardStreams();
  // Before the application object: Qt replaces a non-UTF-8 locale with a UTF-8 one.
  InitSystemCodePage();
  ConfigureService(ServiceConfig{ZAV_SERVICE_HOST, ZAV_CA_FILE});
  CZavApp app(argv[0]);
  return app.Run();
}
