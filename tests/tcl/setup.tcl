# Sourced by every suite: loads the whole library once into this interpreter.
package require tcltest 2.5
namespace import -force tcltest::*

if {![info exists ::telvitest::library]} {
    namespace eval ::telvitest {}
    if {![info exists ::env(TELVI_BUILD)]} {
        error "set TELVI_BUILD to the build folder"
    }
    set ::telvitest::library [file join $::env(TELVI_BUILD) pkgtelvi.so.1.0]
    # The library's exec refuses to run programs; suites that start a child tclsh keep Tcl's own.
    rename exec ::telvitest::exec
    load $::telvitest::library Telvi
}

# Runs the calls of a list of call/message pairs in the caller's scope; returns, as call/result
# pairs, those that did not fail with exactly their message (empty when all did).
proc ::telvitest::messages {pairs} {
    set wrong {}
    foreach {call message} $pairs {
        if {[catch {uplevel 1 $call} got] != 1 || $got ne $message} { lappend wrong $call $got }
    }
    return $wrong
}

namespace eval ::telvitest { namespace export fds children readFile have tool waitFor }
# Leak checks: this process's open descriptors, and the pids of its children still alive.
proc ::telvitest::fds {} { llength [glob -nocomplain /proc/self/fd/*] }
proc ::telvitest::children {} { string trim [::telvitest::readFile /proc/[pid]/task/[pid]/children] }
# A whole file's text ("" when it cannot be read).
proc ::telvitest::readFile {path} {
    if {[catch {open $path} f]} { return "" }
    try { read $f } finally { close $f }
}
# Waits in the event loop until the (qualified) variable is set; bounded: it then reads "timeout".
proc ::telvitest::waitFor {varName {ms 15000}} {
    set guard [after $ms [list set $varName timeout]]
    vwait $varName
    after cancel $guard
    return [set $varName]
}
proc ::telvitest::have {program} { expr {[auto_execok $program] ne ""} }
# A host tool's output with its error output, run without the sanitizer runtime that a sanitized
# build preloads for this interpreter; a failing exit status is not an error here. (Not "sh": that
# is the library's shell service, and the suites may share one interpreter.)
proc ::telvitest::tool {args} {
    catch {::telvitest::exec env -u LD_PRELOAD {*}$args 2>@1} out
    regsub {\nchild process exited abnormally$} $out {} out
    return $out
}
