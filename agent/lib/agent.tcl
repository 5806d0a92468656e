# The reference agent: the managed-object tree of agent/config, collected on schedules, served over
# SNMP (v1, v2c, v2u), with alarm limits whose events go to a circular log and to a trap sink.
#
#   source agent/lib/agent.tcl
#   agent::start {address 127.0.0.1 port 16161 config {} communityRo public communityRw private
#                 trapSink {} log /tmp/events.clog}      ;# -> {127.0.0.1 16161}
#   ... event loop ...
#   agent::stop
#
# Everything here is plain Tcl over the library's commands: the library calls back into the
# procedures of callbacks.tcl, the SNMP requests end in request.tcl, values come from collect.tcl
# and alarms and events are handled in events.tcl.

namespace eval agent {
    variable dir [file dirname [file dirname [file normalize [info script]]]]
    variable root ""        ;# the object the configuration is read into; it also answers SNMP
    variable module ""      ;# the module root: the tree that is served
    variable peer ""        ;# the MIB peer: where OID preferences are asked and names registered
    variable fd ""          ;# the SNMP socket
    variable options {}
    variable schedule ""
    variable timer ""
    array set node {}       ;# full OID -> node, for every node with an OID
    array set leafKind {}   ;# leaf OID -> scalar | column
    variable leaves {}      ;# OIDs of the leaves that answer requests, in OID order
}

foreach file {callbacks collect request events} {
    source [file join $agent::dir lib $file.tcl]
}

# Starts the agent; returns {address port} as bound.
# The contents of a file (the kernel's reports under /proc).
proc agent::readFile {path} {
    set f [open $path]
    try { return [read $f] } finally { close $f }
}

proc agent::start {opts} {
    variable options [dict merge {address 127.0.0.1 port 16161 config {} communityRo public
        communityRw private trapSink {} log {}} $opts]
    variable root [toe_create]
    toe_begin $root
    import interface value [file join $agent::dir config agent.cfg]
    foreach file [dict get $options config] {
        if {[catch {import interface value $file} message]} {
            error "cannot read configuration $file: $message"
        }
    }
    variable module [locate mib]
    variable peer [toe_create]
    prepareTree
    events::open [dict get $options log] [dict get $options trapSink]
    snmpStart
    collect::all
    events::checkAll
    variable schedule [periodic parse [lookup value collect.schedule]]
    scheduleNext
    return [list [dict get $options address] [dict get $options boundPort]]
}

proc agent::stop {} {
    variable fd
    variable timer
    variable schedule
    if {$timer ne ""} { after_secs cancel $timer }
    if {$schedule ne ""} { periodic free $schedule }
    if {$fd ne ""} { catch {interface close $fd} }
    events::close
    set fd ""
}

proc agent::scheduleNext {} {
    variable schedule
    variable timer
    set wait [periodic secs_to_wait $schedule]
    if {$wait < 1} { set wait 1 }
    set timer [after_secs [expr {int($wait)}] agent::tick]
}

# One reading on the schedule: every collected node, then the alarm checks.
proc agent::tick {} {
    if {[catch {collect::all; events::checkAll} message]} { events::note "collection failed: $message" }
    scheduleNext
}

# Gives every node of the module its place: data layout (vectors, tables, receptive children), its
# module root, and its OID, registered through registerName.
proc agent::prepareTree {} {
    variable module
    variable peer
    toe_send $module {define internal moduleroot [toe_self]}
    toe_send $module {toe_recurse pre {
        setModuleRoot
        initializeLeafVector
        initializeTableBranch
        setReceptiveChildren
    }}
    toe_send $module [list toe_recurse pre [list agent::placeNode $peer]]
    variable leaves [lsort -command oidcmp [array names agent::leafKind]]
}

proc agent::placeNode {peer} {
    set prefix [expr {[catch {ilookup value oidPrefix} p] ? "" : $p}]
    if {$prefix ne ""} {
        # The first node of a subtree of another MIB: its OID is given whole.
        define internal fulloid $prefix
        set agent::node($prefix) [toe_self]
        return
    }
    if {[catch {ilookup value oid}]} return
    define peer mib $peer
    setMibNodeOid [getContextName]
    # A constant value is stored once.
    if {![catch {ilookup value initial} value]} { setValue 0 [list $value] }
}
