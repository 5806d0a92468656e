# Runs the example agent (doc/examples/snmp-agent.tcl) with timers around its parts, for
# bench/snmp_agent_bench. Usage: tclsh8.6 snmp_agent_bench.tcl LIBRARY EXAMPLE PORT STATSFILE
# Every 100 ms STATSFILE gets one line: requests, then the microseconds (wall clock) spent in the
# request method, in the pdu handlers (processGetNextRequest ..., the method included) and in the
# readable events (bread, dispatch, bwrite; everything above included), then the CPU nanoseconds
# one call of the request method takes (measured once at the start over 2000 GetNext calls with
# the thread's CPU clock, so that a busy machine does not inflate it).
lassign $argv library example port statsFile
load $library Telvi
set argv [list $port]
set argc 1
array set spent {requests 0 method 0 handler 0 event 0}
set methodNs 0

proc threadCpuNs {} {
    set f [open /proc/thread-self/schedstat]
    set ns [lindex [read $f] 0]
    close $f
    return $ns
}
# CPU time of one GetNext call of the request method, as the agent's first scalar asks it.
proc calibrate {} {
    global agent
    set pdu [bob create pdu]
    bset $pdu type GetNextRequest varcount 1 varbind(0).oid 1.3.6.1.4.1.99999.1.1.0 varbind(0).val.type NULL
    set calls 2000
    toe_send $agent {
        set t [threadCpuNs]
        for {set n 0} {$n < $calls} {incr n} { mibRequestUntimed getnext $pdu /1.3.6.1.4.1.99999.1.1.0 0 }
        set ::methodNs [expr {([threadCpuNs] - $t) / $calls}]
    }
    bob destroy $pdu
}

proc timed {part script} {
    set t [clock microseconds]
    set code [catch {uplevel 1 $script} result options]
    incr ::spent($part) [expr {[clock microseconds] - $t}]
    return -options $options $result
}
proc writeStats {} {
    set f [open $::statsFile.new w]
    puts $f "$::spent(requests) $::spent(method) $::spent(handler) $::spent(event) $::methodNs"
    close $f
    file rename -force $::statsFile.new $::statsFile
    after 100 writeStats
}
# Once the example waits for requests: wrap its request method, its pdu handlers and its event.
after 0 {
    rename mibRequest mibRequestUntimed
    proc mibRequest args { timed method { mibRequestUntimed {*}$args } }
    proc timedHandler {command pdu} { incr ::spent(requests); timed handler { $command $pdu } }
    toe_send $agent {
        foreach type {GetRequest GetNextRequest GetBulkRequest SetRequest} {
            define value pduMethod($type) "timedHandler process$type %pdu"
        }
    }
    fileevent $sock readable [list timed event [fileevent $sock readable]]
    calibrate
    writeStats
}
source $example
