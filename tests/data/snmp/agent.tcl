# A small SNMP agent for the suites: a UDP listener on 127.0.0.1, "pdu" handlers that call the
# request processing commands, and a "request" method over an in-memory MIB with a scalar group and
# a three-row table. Prints "ready <port>" when it answers.
#   tclsh8.6 agent.tcl ?-port N? ?-engine HEX ?-boots N? -users {name authOID password ...}?
load [file join $env(TELVI_BUILD) pkgtelvi.so.1.0] Telvi
array set opt {-port 0 -engine {} -boots 1 -users {}}
array set opt $argv

# The MIB: oid -> {type value writable}.
array set mib {
    1.3.6.1.2.1.1.1.0 {{OCTET STRING} {telvi test agent} 0}
    1.3.6.1.2.1.1.2.0 {{OBJECT IDENTIFIER} 1.3.6.1.4.1.99999 0}
    1.3.6.1.2.1.1.3.0 {TimeTicks 4242 0}
    1.3.6.1.2.1.1.4.0 {{OCTET STRING} {nobody} 1}
    1.3.6.1.2.1.1.5.0 {{OCTET STRING} {vm} 1}
    1.3.6.1.2.1.1.6.0 {{OCTET STRING} {rack 1} 1}
}
foreach row {1 2 3} {
    set mib(1.3.6.1.4.1.99999.1.1.1.$row) [list Integer32 $row 0]
    set mib(1.3.6.1.4.1.99999.1.1.2.$row) [list {OCTET STRING} disk$row 0]
    set mib(1.3.6.1.4.1.99999.1.1.3.$row) [list Counter32 [expr {$row * 1000}] 1]
}
set order [lsort -command oidcmp [array names mib]]

proc next {oid} {
    foreach n $::order { if {[oidcmp $n $oid] > 0} { return $n } }
    return ""
}
proc fill {pdu i oid} {
    if {$oid eq ""} { bset $pdu varbind($i).val.type endOfMibView; return }
    lassign $::mib($oid) type value
    bset $pdu varbind($i).oid $oid varbind($i).val.type $type varbind($i).val.val $value
}
# The request method: phase, the binding's "context/oid", its index, the pdu bob.
proc request {phase oid index pdu} {
    set oid [lindex [split $oid /] end]
    set groups [bget $pdu groups]
    switch -- $phase {
        get {
            if {![info exists ::mib($oid)]} { bset $pdu varbind($index).val.type noSuchObject; return noError }
            fill $pdu $index $oid
        }
        getnext {
            fill $pdu $index [next $oid]
            if {![catch {getParameter maxreps} reps]} {
                # GetBulk: this method fills the further repetitions itself.
                set step [getParameter increment]
                for {set r 1} {$r < $reps} {incr r} {
                    set previous [expr {$index + ($r - 1) * $step}]
                    set at [bget $pdu varbind($previous).oid]
                    bset $pdu varbind([expr {$previous + $step}]).oid $at
                    if {[bget $pdu varbind($previous).val.type] ne "endOfMibView"} { set at [next $at] } else { set at "" }
                    fill $pdu [expr {$previous + $step}] $at
                }
                setParameters totalreps $reps
            }
        }
        prevalidate {
            if {"rw" ni $groups} { return noAccess }
            if {![info exists ::mib($oid)]} { return noCreation }
            lassign $::mib($oid) type value writable
            if {!$writable} { return notWritable }
            if {[bget $pdu varbind($index).val.type] ne $type} { return wrongType }
        }
        set {
            set ::undo($oid) $::mib($oid)
            lset ::mib($oid) 1 [bget $pdu varbind($index).val.val]
        }
        postvalidate {
            if {[lindex $::mib($oid) 1] eq "bad"} { return wrongValue }
        }
        rollback {
            if {[info exists ::undo($oid)]} { set ::mib($oid) $::undo($oid); unset ::undo($oid) }
        }
        setactions { array unset ::undo }
    }
    return noError
}

set agent [toe_create]
toe_begin $agent
foreach {type command} {GetRequest processGetRequest GetNextRequest processGetNextRequest
                        GetBulkRequest processGetBulkRequest SetRequest processSetRequest} {
    define value pduMethod($type) "$command %pdu"
}
define value {groupMethod} {group %securityName}
proc group {name} { if {$name eq "private" || [string match alice* $name]} { return rw } ; return ro }
foreach phase {get getnext prevalidate set postvalidate setactions rollback} {
    define value requestMethod($phase) "request $phase %oid %index %pdu"
}

if {$opt(-engine) ne ""} {
    snmp set engine $opt(-engine) $opt(-boots)
    foreach {name auth password} $opt(-users) {
        set key [snmp key $auth localize [snmp key $auth create $password] $opt(-engine)]
        snmp set user $opt(-engine) $name $auth $key {} {} 1
    }
}
foreach community {public private} { snmp set user [snmp get snmpEngineID] $community {} {} {} {} 1 }

set fd [interface open "inet://127.0.0.1:$opt(-port)/udp;type=listener"]
fileevent $fd readable {
    set datagram [interface bread $fd]
    if {[catch {snmp dispatch {} [list $fd udp $datagram]} answer]} {
        puts stderr $answer
    } elseif {$answer ne ""} {
        interface bwrite $fd $answer
        bob destroy $answer
    }
}
puts "ready [lindex [split [lindex [interface info $fd] 0] :] 3]"
flush stdout
vwait forever
