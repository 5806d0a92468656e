// Package "ddl": scripts open, enable and print on diagnostic channels.
#include <cstring>
#include <string>

#include "pkg/command.h"
#include "telvi/ddl.h"
#include "telvi/package.h"

namespace {

using telvi::fail;
constexpr auto usage = telvi::usageSuffix;

enum Option { kOpen, kClose, kEnable, kDisable, kRevalidate, kPrint, kRawPrint, kExportGet,
              kExportSet, kIfPrint, kIf, kSfPrint, kNone };

// Options may be abbreviated; the first in this order that the word begins wins.
Option matchOption(const char *word) {
  static const char *const prefixed[] = {"open",  "close",    "enable",     "disable",   "revalidate",
                                         "print", "rawprint", "export_get", "export_set"};
  size_t length = std::strlen(word);
  if (length > 0)
    for (int i = 0; i < 9; ++i)
      if (std::strncmp(word, prefixed[i], length) == 0) return static_cast<Option>(i);
  if (std::strcmp(word, "ifprint") == 0) return kIfPrint;
  if (length > 0 && std::strncmp(word, "if", length) == 0) return kIf;
  if (std::strcmp(word, "sfprint") == 0) return kSfPrint;
  return kNone;
}

// Evaluates "echo <command>" so that the command text is substituted, and prints a non-empty result.
int printEvaluated(Tcl_Interp *interp, const char *cmd, const char *channel, const char *command) {
  std::string script = std::string("echo ") + command;
  if (Tcl_Eval(interp, script.c_str()) != TCL_OK)
    return fail(interp, cmd, ": bad command: ", command);
  std::string text = Tcl_GetStringResult(interp);
  if (!text.empty()) ddlPrint(channel, text.c_str());
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdDDL(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *cmd = argv[0];
  if (argc < 2)
    return fail(interp, cmd,
                ": too few arguments - [open|close|enable|disable|revalidate|print|rawprint|ifprint|"
                "if|sfprint] ...");
  Option option = matchOption(argv[1]);
  Tcl_ResetResult(interp);
  switch (option) {
    case kOpen:
      if (argc != 4) return usage(interp, cmd, " open channel stream\n");
      if (ddlChannelCreate(argv[2], argv[3]) != 0)
        return fail(interp, cmd, " open of ", argv[2], " failed\n");
      return TCL_OK;
    case kClose:
    case kEnable:
    case kDisable:
      if (argc < 3) {
        const char *synopsis[] = {" close channel ?channel? ...\n", " enable channel ?channel? ...\n",
                                  " disable channel ?channel? ...\n"};
        return usage(interp, cmd, synopsis[option - kClose]);
      }
      for (int i = 2; i < argc; ++i) {
        if (option == kClose) {
          ddlChannelDestroy(argv[i]);
        } else if (option == kEnable) {
          if (ddlChannelEnable(argv[i]) != 0) ddlPrintf("warning", "no such channel: %s\n", argv[i]);
        } else if (ddlChannelDisable(argv[i]) != 0) {
          ddlPrintf("error", "no such channel: %s\n", argv[i]);
        }
      }
      return TCL_OK;
    case kRevalidate:
      if (argc == 2) ddlChannelRevalidate(nullptr);
      for (int i = 2; i < argc; ++i) ddlChannelRevalidate(argv[i]);
      return TCL_OK;
    case kPrint:
    case kRawPrint:
      if (argc != 4)
        return usage(interp, cmd, option == kPrint ? " print channel message\n" : " rawprint channel message\n");
      if (option == kPrint)
        ddlPrint(argv[2], argv[3]);
      else
        ddlRawPrint(argv[2], argv[3]);
      return TCL_OK;
    case kExportGet: {
      if (argc != 3) return usage(interp, cmd, " export_get name\n");
      char shown[4352];
      if (ddlExportGetValue(argv[2], shown, sizeof shown) != 0)
        return fail(interp, "no such exported variable: ", argv[2]);
      Tcl_AppendResult(interp, shown, nullptr);
      return TCL_OK;
    }
    case kExportSet:
      if (argc != 4) return usage(interp, cmd, " export_set name value\n");
      if (ddlExportSetValue(argv[2], argv[3]) != 0)
        return fail(interp, "no such exported variable: ", argv[2]);
      return TCL_OK;
    case kIfPrint:
      if (argc != 4) return usage(interp, cmd, " ifprint channel { command }\n");
      return printEvaluated(interp, cmd, argv[2], argv[3]);
    case kIf:
      if (argc != 4) return usage(interp, cmd, " if channel { command }\n");
      if (!ddlChannelIsEnabled(argv[2])) return TCL_OK;
      return Tcl_Eval(interp, argv[3]);
    case kSfPrint:
      if (argc != 4) return usage(interp, cmd, " ifprint channel { command }\n");
      if (ddlChannelValidate(argv[2]) == -1)
        return fail(interp, "ddl channel ", argv[2], ": validation failed\n");
      return printEvaluated(interp, cmd, argv[2], argv[3]);
    case kNone:
      break;
  }
  return fail(interp, cmd,
              ": bad arguments - [open|close|enable|disable|revalidate|print|ifprint|if|sfprint] ...");
}

}  // namespace

extern "C" int Ddl_InitInternal(Tcl_Interp *interp) {
  static bool initialized = false;
  if (!initialized) {
    initialized = true;
    // The application's name is the script's file name without its folder.
    const char *argv0 = Tcl_GetVar(interp, "argv0", TCL_GLOBAL_ONLY);
    std::string name = "???";
    if (argv0 != nullptr) {
      name = argv0;
      if (size_t slash = name.rfind('/'); slash != std::string::npos) name.erase(0, slash + 1);
    }
    ddlInit(name.c_str(), nullptr);
  }
  telvi::createCommands(interp, {{"ddl", cmdDDL}});
  return TCL_OK;
}
