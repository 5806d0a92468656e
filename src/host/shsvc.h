// The shell service of package "unix": starting a command as another user in a child process, and
// the callbacks that report a child's end to an object through `toe_send`. `sh` and `probeserver`
// share it.
//
// Everything the child needs (user, groups, environment, argument vector) is worked out before the
// fork: the agent's process has Tcl's notifier thread, so the child keeps to system calls until it
// executes the command, and only its last-gasp error messages use the diagnostic channels.
#ifndef TELVI_HOST_SHSVC_H
#define TELVI_HOST_SHSVC_H

#include <sys/types.h>
#include <tcl.h>

#include <string>
#include <vector>

namespace telvi::host {

struct Launch {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;     // supplementary groups when the user is in the password database
  std::vector<std::string> env;  // the entries as given, NAME=value
  std::string unsetVariable;     // non-empty: a ${NAME} in the entries names nothing; the child fails
  std::vector<std::string> argv;
  bool splitFailed = false;      // the single command word is no Tcl list
  std::string command;           // the first command word, for messages

  // Prepared by prepareExec: the environment and vector the child hands to exec.
  std::vector<std::string> environment;
  std::vector<char *> envp;
  std::vector<char *> argp;
};

// The user word ("ROOT" is uid 0, a number, or a name in the password database) and the env entries
// (each must hold '='). False with "Invalid user <name>" or "Invalid env format: <entry>" appended to
// the interpreter result.
bool verifyUserAndEnv(Tcl_Interp *interp, const char *user, const std::vector<std::string> &env,
                      Launch &launch);

// The command words: one word is split as a Tcl list, several are taken as they are. Then the
// environment with the entries expanded (${NAME} from the agent's environment, \${ kept as is).
void prepareExec(const std::vector<std::string> &words, Launch &launch);

// In the child, first thing: the default signal dispositions, nothing blocked, and a safety net
// (an alarm of `seconds`) should the child get stuck before it executes the command.
void childReset(unsigned seconds);
// In the child: the user and groups; false when the system refuses.
bool childBecomeUser(const Launch &launch);
// In the child: descriptors 0 to 2 from /dev/null where they are not set yet, every other
// descriptor closed when the command starts (kept until then for the diagnostic channels).
void childCloseOnExec();
// In the child: executes the command with the prepared environment, searching the path. Returns
// only when that failed.
void childExec(const Launch &launch);

// The callbacks. Registers the callback text (null: none) for a child and makes sure a poll is
// scheduled; the interpreter result is left as it was.
void registerCallback(pid_t pid, const char *callback);
// The interpreter in which callbacks and polls run: the first one that initialised the package.
void setCallbackInterp(Tcl_Interp *interp);

int cmdSh(ClientData, Tcl_Interp *interp, int argc, const char *argv[]);
int cmdTestCallback(ClientData, Tcl_Interp *interp, int argc, const char *argv[]);
int cmdShsvcCallback(ClientData, Tcl_Interp *interp, int argc, const char *argv[]);
int cmdProbeServer(ClientData, Tcl_Interp *interp, int argc, const char *argv[]);

}  // namespace telvi::host

#endif
