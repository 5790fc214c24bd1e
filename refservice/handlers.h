// The reference service's HTTP handlers: the tool's three endpoints and the catalogue's file
// hosting, each recording its request and answering as its fault says. Internal to
// refservice/.
#pragma once

#include <httplib.h>

#include "refservice/catalogue.h"
#include "refservice/faults.h"
#include "refservice/report_store.h"
#include "refservice/request_log.h"

// What the handlers work on; it outlives the server.
struct ServiceParts {
  const Catalogue& catalogue;
  ReportStore& store;
  FaultBoard& faults;
  RequestLog& requests;
  const int& port;  // the port served on, once bound
};

// Routes the endpoints under the service's base path, the files under /files/, and answers
// 404 to anything else.
void RouteEndpoints(httplib::Server& server, ServiceParts parts);
