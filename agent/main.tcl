# The reference agent's entry point, started by ./telvi-agent:
#   tclsh8.6 agent/main.tcl <library> [option ...]
# Reads the options, loads the library, starts the agent's script layer (agent/lib/agent.tcl) and
# runs the event loop until SIGINT or SIGTERM, then stops the agent and exits 0. A wrong option, a
# configuration file that cannot be read or an agent that cannot start ends with status 2.
#
# Options (each also as --name=value):
#   --address A          address to answer on (default 127.0.0.1)
#   --port N             UDP port, 0 to 65535 (default 16161; 0 takes a free one, shown when ready)
#   --config FILE        configuration file loaded after the built-in one (may be repeated)
#   --community-ro S     read-only community (default public)
#   --community-rw S     read-write community (default private)
#   --trap-sink HOST:PORT  where notifications go (default: none)
#   --log FILE           the agent's circular event log (default: events.clog in the folder named by
#                        TELVI_AGENT_STATE, or else in /tmp/telvi-agent-<uid>); its folder is made
#                        when missing
# TELVI_AGENT_DIR names another folder holding lib/agent.tcl (a different script layer to try).

set usage {usage: telvi-agent [--address A] [--port N] [--config FILE] [--community-ro S]
                    [--community-rw S] [--trap-sink HOST:PORT] [--log FILE]}

proc fail {message} {
    puts stderr "telvi-agent: $message"
    exit 2
}

if {[llength $argv] < 1} { fail "the launcher passes the library first\n$usage" }
set library [lindex $argv 0]
set words [lrange $argv 1 end]

# The default log's folder: per user, since /tmp is shared. The uid is asked for now, while Tcl's own
# exec still runs programs (the library's replaces it).
proc defaultLog {} {
    if {[info exists ::env(TELVI_AGENT_STATE)] && $::env(TELVI_AGENT_STATE) ne ""} {
        return [file join $::env(TELVI_AGENT_STATE) events.clog]
    }
    if {[catch {exec id -u} uid]} {
        set uid [expr {[info exists ::env(USER)] ? $::env(USER) : "unknown"}]
    }
    return [file join /tmp telvi-agent-$uid events.clog]
}

set options [dict create address 127.0.0.1 port 16161 config {} communityRo public \
    communityRw private trapSink {} log {}]
array set keyOf {
    --address address --port port --config config --community-ro communityRo
    --community-rw communityRw --trap-sink trapSink --log log
}
while {[llength $words] > 0} {
    set words [lassign $words word]
    if {$word in {-h --help}} {
        puts $usage
        exit 0
    }
    if {[regexp {^(--[a-z-]+)=(.*)$} $word -> word value]} {
        set words [linsert $words 0 $value]
    }
    if {![info exists keyOf($word)]} { fail "unknown option \"$word\"\n$usage" }
    if {[llength $words] == 0} { fail "option $word needs a value\n$usage" }
    set words [lassign $words value]
    set key $keyOf($word)
    switch -- $key {
        port {
            if {![string is digit -strict $value] || [scan $value %d] > 65535} {
                fail "bad port \"$value\": give a number from 0 to 65535"
            }
            set value [scan $value %d]
        }
        address {
            if {$value eq ""} { fail "--address needs an address" }
        }
        communityRo - communityRw {
            # A community is a user name of the engine's community model: 1 to 32 characters.
            if {[string length $value] < 1 || [string length $value] > 32} {
                fail "bad community \"$value\": give 1 to 32 characters"
            }
        }
        trapSink {
            if {![regexp {^(.+):(\d+)$} $value -> host sinkPort] || $sinkPort < 1 || $sinkPort > 65535} {
                fail "bad trap sink \"$value\": give HOST:PORT"
            }
        }
        config {
            if {![file isfile $value] || ![file readable $value]} {
                fail "cannot read configuration file \"$value\""
            }
            set value [concat [dict get $options config] [list [file normalize $value]]]
        }
        log {
            if {$value eq ""} { fail "--log needs a file name" }
        }
    }
    dict set options $key $value
}

# One community cannot both only read and write.
if {[dict get $options communityRo] eq [dict get $options communityRw]} {
    fail "the read-only and read-write communities must differ"
}

# The event log: its folder is made when missing; it must be writable.
if {[dict get $options log] eq ""} { dict set options log [defaultLog] }
set log [file normalize [dict get $options log]]
dict set options log $log
if {[catch {file mkdir [file dirname $log]}] || ![file writable [file dirname $log]]
        || [file isdirectory $log] || ([file exists $log] && ![file writable $log])} {
    fail "cannot write the log file \"$log\""
}

if {[catch {load $library Telvi} problem]} { fail "cannot load the library $library: $problem" }

set agentDir [file dirname [file normalize [info script]]]
if {[info exists env(TELVI_AGENT_DIR)] && $env(TELVI_AGENT_DIR) ne ""} {
    set agentDir [file normalize $env(TELVI_AGENT_DIR)]
}

# Errors of event scripts go to the standard error; the script layer may define its own handler.
proc bgerror {message} {
    puts stderr "telvi-agent: $message"
}

# SIGINT and SIGTERM only note the request: their scripts run from the event loop, never inside the
# signal handler. One that comes while the agent starts is kept and ends the loop below at once.
set stopRequest ""
signal 2 {set ::stopRequest SIGINT}
signal 15 {set ::stopRequest SIGTERM}

if {[catch {
    source [file join $agentDir lib agent.tcl]
    set where [agent::start $options]
} problem]} {
    fail "cannot start: $problem"
}

lassign $where boundAddress boundPort
puts "telvi-agent ready on $boundAddress:$boundPort"
flush stdout

vwait ::stopRequest
if {[catch {agent::stop} problem]} {
    puts stderr "telvi-agent: while stopping: $problem"
}
exit 0
