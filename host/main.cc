// docmill: the command-line host. Creates PDF.CreatePDF by ProgID and invokes any member
// late-bound, the way a script would.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "automation/creation.h"
#include "automation/dispatch.h"
#include "cli/arguments.h"
#include "cli/convert.h"
#include "cli/servers.h"
#include "component/create_pdf.h"
#include "component/exports.h"
#include "component/type_library.h"
#include "remote/pool_client.h"
#include "remote/pool_service.h"
#include "serve/server.h"
#include "serve/worker.h"

namespace {

using namespace docmill;

const char* kUsage = R"(usage: docmill [--set NAME=VALUE]... MEMBER [ARG]... [--PARAM=VALUE]...
       docmill --get NAME | --list | --register | --unregister | --help
       docmill convert [-j N] [-o OUT] [--OPTION=VALUE]... IN...   (docmill convert --help)
       docmill convert --merge -o OUT.pdf [--OPTION=VALUE]... IN...
       docmill serve [--listen ADDR:PORT]
       docmill worker --queue redis://HOST:PORT[/DB] | unix:PATH   converts queued jobs
       docmill serve --socket [PATH]   the pool service: calls of this user's docmill and
                            Python programs use its warm offices (DOCMILL_POOL_SOCKET, default
                            $XDG_RUNTIME_DIR/docmill/pool.sock)
       docmill --warm ...   starts every office of the pool at once (the service always does);
                            otherwise offices start one at a time, as the calls need them

Creates PDF.CreatePDF and invokes MEMBER late-bound with the given arguments.
Positional arguments bind in parameter order; --PARAM=VALUE passes a named argument.
A property is read with --get NAME (or MEMBER with no arguments) and set for the rest of
the run with --set NAME=VALUE, e.g.  docmill --set TempFilePath=/var/tmp CreatePDFfromPS o.pdf i.ps

Values:
  text            a string                 str:TEXT    a string, taken literally
  i2:N  i4:N      16/32-bit integers       r4:X  r8:X  single/double
  bool:true|false a Boolean                null empty missing nothing
  array:A,B,C     a Variant array from 0   array@L:A,B a Variant array from lower bound L
                  (elements use the same syntax; \, is a comma inside an element)

Failures print "docmill: error 0xNNNNNNNN (SOURCE): DESCRIPTION" and exit with status 1.
)";

int fail(const Error& e) {
  std::fprintf(stderr, "docmill: %s\n", describeError(e).c_str());
  return 1;
}

void printResult(const Variant& v) {
  if (v.isEmpty()) return;
  try {
    std::cout << v.toString() << "\n";
  } catch (const AutomationError&) {
    std::cout << v.debugString() << "\n";
  }
}

int run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    std::cout << kUsage << "\nMembers:\n" << describeTypeLib(typeLibrary());
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--list") {
    std::cout << describeTypeLib(typeLibrary());
    return 0;
  }
  if (args[0] == "--register" || args[0] == "--unregister") {
    bool reg = args[0] == "--register";
    int32_t code = reg ? DllRegisterServer() : DllUnregisterServer();
    if (code != hr::S_OK) {
      return fail(Error{code, "docmill", reg ? "Registration failed." : "Unregistration failed."});
    }
    return 0;
  }

  // --warm: every office of the pool starts at once, in the background, rather than as the
  // calls need them (a batch that will use them all, say).
  const bool warm = args[0] == "--warm";
  if (warm) args.erase(args.begin());
  if (args.empty()) return 0;
  cli::HostServers servers;  // built-in classes, unless the registry names others
  if (warm) cli::startAllOffices();
  if (args[0] == "convert") {
    return cli::runConvert({args.begin() + 1, args.end()}, remote::convertBatch);
  }
  if (args[0] == "serve") {
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    const bool socket = std::any_of(rest.begin(), rest.end(), [](const std::string& a) {
      return a == "--socket" || a.rfind("--socket=", 0) == 0;
    });
    return socket ? remote::runPoolService(rest) : serve::runServe(rest);
  }
  if (args[0] == "worker") return serve::runWorker({args.begin() + 1, args.end()});
  // Through the user's pool service when it runs: its offices are warm.
  DispatchPtr obj = remote::createObject(kProgId);

  size_t i = 0;
  while (i + 1 < args.size() && args[i] == "--set") {
    std::string assign = args[i + 1];
    size_t eq = assign.find('=');
    if (eq == std::string::npos) raiseRuntime(rt::InvalidProcedureCall);
    put(obj, assign.substr(0, eq), cli::parseValue(assign.substr(eq + 1)));
    i += 2;
  }
  if (i < args.size() && args[i] == "--get") {
    if (i + 1 >= args.size()) raiseRuntime(rt::InvalidProcedureCall);
    printResult(get(obj, args[i + 1]));
    return 0;
  }
  if (i >= args.size()) return 0;
  std::string member = args[i++];
  std::vector<Variant> positional;
  std::vector<Named> named;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
      size_t eq = a.find('=');
      named.push_back({a.substr(2, eq - 2), cli::parseValue(a.substr(eq + 1))});
    } else {
      positional.push_back(cli::parseValue(a));
    }
  }
  // By-reference arguments, as a script passes its variables.
  std::vector<Variant> storage = std::move(positional);
  std::vector<Variant> refs;
  for (auto& v : storage) refs.push_back(Variant::byRef(v));
  printResult(callMember(obj, member, invoke::Method | invoke::PropertyGet, std::move(refs),
                         std::move(named)));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const AutomationError& e) {
    return fail(e.error());
  } catch (const std::exception& e) {
    return fail(Error{hr::E_FAIL, "docmill", e.what()});
  }
}
