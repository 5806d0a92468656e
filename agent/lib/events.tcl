# Events: the agent's circular log of rule events and notes, and traps to the trap sink.
namespace eval agent::events {
    variable log ""
    variable sink ""
    variable socket ""
}

proc agent::events::open {file trapSink} {
    variable log
    variable sink $trapSink
    variable socket
    if {$file ne ""} {
        file mkdir [file dirname $file]
        set log [interface open "clog://localhost/$file;lines=10000;width=256"]
    }
    if {$trapSink ne ""} {
        set socket [interface open "inet://127.0.0.1:0/udp;type=listener"]
    }
}

proc agent::events::close {} {
    variable log
    variable socket
    foreach channel [list $log $socket] { if {$channel ne ""} { catch {interface close $channel} } }
    set log ""
    set socket ""
}

# One line in the event log: time, kind, text.
proc agent::events::note {text} {
    variable log
    if {$log eq ""} return
    catch {puts $log "[clock format [clock seconds] -format {%Y-%m-%d %H:%M:%S}] $text"; flush $log}
}

proc agent::events::write {args} { note "event [join $args]" }
proc agent::events::limitsChanged {args} { note "alarm [join $args]" }
proc agent::events::checkAll {} {}
proc agent::events::moduleStatus {} {
    if {[info commands getModuleAlarmStatus] eq ""} { return ok }
    toe_send $agent::module getModuleAlarmStatus
}
