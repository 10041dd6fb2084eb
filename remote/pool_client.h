// The callers' side of the pool service (pool_service.h): the command-line host and the
// Python module create PDF.CreatePDF and run batches through here, and get the service's
// warm offices when it runs for this user, or do the work in-process when it does not.
//
// A caller sees no difference but speed: the same members, arguments (by-reference ones
// come back changed), results, errors and files. Whatever goes wrong with the service
// (none listens, it belongs to another user, its settings differ, it dies or closes the
// connection during a call, a value cannot travel) makes the work happen in-process: an
// object then becomes an in-process one, with the properties set so far set again, and
// the call that was under way is made again; a batch is run again in-process. Errors of
// the work itself are raised as they would be in-process.
//
// DOCMILL_POOL_SOCKET names the socket ("off": never use one); otherwise the user's default
// (platform::poolSocketPath).
#pragma once

#include <string_view>

#include "automation/dispatch.h"
#include "cli/convert.h"

namespace docmill::remote {

// `progId`'s object: PDF.CreatePDF through the service when it runs (and the class is the
// built-in one), every other class and every other case in-process (createObject).
DispatchPtr createObject(std::string_view progIdOrClsid);

// Whether `object` makes its calls through the service now (false once it works
// in-process).
bool throughService(const DispatchPtr& object);

// cli::convertBatch, through the service when it runs. `request.progress` is called on the
// caller's thread for each file as the service reports it.
cli::BatchResult convertBatch(const cli::BatchRequest& request);

}  // namespace docmill::remote
