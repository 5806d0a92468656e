# Events and alarms: the agent's circular log, the status of alarmed rows forwarded up to the module
# root, and traps to the trap sink when a condition opens or closes.
#
# A node with "alarmChecks" and "alarmRules" is checked after every reading: its checkLimits method
# (checkLimits-leaf) fires the rules row by row; a rule such as rCompare compares the row's value
# with the limits in slice "alarmlimit". The library then calls writeEvent when a condition opens
# (O), closes (C) or is acknowledged (A), and checkLimitsCallback when a row's alarm status changed.

namespace eval agent::events {
    variable log ""
    variable sink ""
    variable socket ""
    variable alarmed {}
    # Severity of an alarm status: the limit name before the "-" of the check that fired.
    variable severity {ok 0 irr 1 warning 2 error 3 critical 4}
    variable trapOid {O 1.3.6.1.4.1.99999.2.0.1 C 1.3.6.1.4.1.99999.2.0.2}
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
        variable version [toe_send $agent::root {lookup -d SNMPv2c value snmp.trapVersion}]
        if {$version ni {SNMPv1 SNMPv2c}} { error "snmp.trapVersion: \"$version\" is neither SNMPv1 nor SNMPv2c" }
        # Any local address: the sink may be on another host.
        set socket [interface open "inet://0.0.0.0:0/udp;type=listener"]
    }
    prepareAlarms
}

proc agent::events::close {} {
    variable log
    variable socket
    foreach channel [list $log $socket] { if {$channel ne ""} { catch {interface close $channel} } }
    set log ""
    set socket ""
}

# Every node with alarm checks gets its rules, its status-line template and its limit check.
proc agent::events::prepareAlarms {} {
    variable alarmed {}
    toe_send $agent::module {toe_recurse pre {
        if {![catch {lookup value alarmChecks}]} { lappend agent::events::alarmed [toe_self] }
    }}
    set processors [llength [regexp -all -inline -line {^processor\s*:} [agent::readFile /proc/cpuinfo]]]
    foreach node $alarmed {
        toe_send $node {
            initializeAlarms
            setAlarmTemplate
            alias checkLimits checkLimits-leaf
        }
        # The load limit follows the host unless the configuration set one.
        if {[toe_send $node {toe_name}] eq "telviLoad1" && [toe_send $node {lookup -d "" alarmlimit warning-gt()}] eq ""} {
            toe_send $node [list define alarmlimit warning-gt() [expr {max(1, $processors) * 100}]]
        }
    }
}

proc agent::events::checkAll {} {
    variable alarmed
    foreach node $alarmed {
        if {[catch {toe_send $node checkLimits} message]} { note "[toe_send $node {toe_name -full}]: $message" }
    }
}

# One line in the event log: time and text.
proc agent::events::note {text} {
    variable log
    if {$log eq ""} return
    catch {puts $log "[clock format [clock seconds] -format {%Y-%m-%d %H:%M:%S}] $text"; flush $log}
}

# The node's row that a rule reports on, as a readable name.
proc agent::events::where {row} {
    set name [toe_name -full]
    if {$row ne ""} { append name ($row) }
    return $name
}

# writeEvent, with the node current.
proc agent::events::write {type rule row status} {
    variable trapOid
    set value [expr {[catch {getRowIndex $row} index] ? "" : [getRawValue $index]}]
    set limit [expr {$status eq "" ? "" : [getLimit $status $row]}]
    set text [string trim "[lookup -d "" value mediumDesc] $value [expr {$limit ne "" ? "limit $limit" : ""}] [lookup -d "" value units]"]
    note "$type [where $row] $status $text"
    if {[dict exists $trapOid $type]} { trap [dict get $trapOid $type] [where $row] $status $text }
    return ""
}

# checkLimitsCallback, with the node current: each row's status record, confirmed and forwarded up.
proc agent::events::limitsChanged {args} {
    variable severity
    foreach {row status} [ilookup -d "" internal alarmstatus] {
        set level [lindex [split $status -] 0]
        set value [expr {[dict exists $severity $level] ? [dict get $severity $level] : 1}]
        setStatus $row $value
    }
    confirmStatus
    return ""
}

# The module's worst condition: "ok", or severity, node and row of the first record.
proc agent::events::moduleStatus {} {
    variable severity
    if {[info commands getSortedStatusList] eq ""} { return ok }
    set list [toe_send $agent::module getSortedStatusList]
    if {[llength $list] == 0} { return ok }
    lassign [lindex $list 0] level node row
    set name [lindex [dict keys $severity] [lsearch -exact [dict values $severity] $level]]
    return [string trim "$name [toe_send $node {toe_name -full}] $row"]
}

# A notification to the trap sink: SNMPv2c (or SNMPv1, as configured) with the alarm's node,
# severity and text.
proc agent::events::trap {oid node status text} {
    variable sink
    variable socket
    variable version
    if {$sink eq ""} return
    set pdu [bob create pdu]
    try {
        bset $pdu info.type inet info.address $sink version $version community [dict get $agent::options communityRo] \
            type SNMPv2Trap request_id [expr {[clock seconds] & 0x7fffffff}] varcount 5
        set values [list 1.3.6.1.2.1.1.3.0 TimeTicks [snmp get sysUpTime] 1.3.6.1.6.3.1.1.4.1.0 {OBJECT IDENTIFIER} $oid \
            1.3.6.1.4.1.99999.1.8.2.0 {OCTET STRING} $node 1.3.6.1.4.1.99999.1.8.3.0 {OCTET STRING} $status \
            1.3.6.1.4.1.99999.1.8.4.0 {OCTET STRING} $text]
        set i 0
        foreach {name type value} $values {
            bset $pdu varbind($i).oid $name varbind($i).val.type $type varbind($i).val.val $value
            incr i
        }
        if {[catch {interface bwrite $socket $pdu} message]} { note "trap to $sink failed: $message" }
    } finally {
        bob destroy $pdu
    }
}
