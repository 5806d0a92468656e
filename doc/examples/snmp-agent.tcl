# A minimal SNMP agent: community "public", a scalar group and a table held in memory.
#   ./telvish doc/examples/snmp-agent.tcl ?port?     then: snmpwalk -v2c -c public 127.0.0.1:16161 .1.3.6.1.4.1.99999
set port [expr {$argc ? [lindex $argv 0] : 16161}]
set b 1.3.6.1.4.1.99999
array set mib [list $b.1.1.0 {{OCTET STRING} {demo agent}} $b.1.2.0 {Integer32 42} \
    $b.2.1.1.1 {{OCTET STRING} eth0} $b.2.1.1.2 {{OCTET STRING} eth1} $b.2.1.2.1 {Counter32 10} $b.2.1.2.2 {Counter32 20}]
set oids [lsort -command oidcmp [array names mib]]
proc fill {pdu i oid {exception noSuchInstance}} {  ;# binding i := oid with its value, else the exception
    if {[info exists ::mib($oid)] && $exception ne "endOfMibView"} {
        lassign $::mib($oid) type value
        bset $pdu varbind($i).oid $oid varbind($i).val.type $type varbind($i).val.val $value
    } else { bset $pdu varbind($i).oid $oid varbind($i).val.type $exception }
}
proc successor oid { foreach o $::oids { if {[oidcmp $o $oid] > 0} { return $o } } }
proc mibRequest {phase pdu oid i} {  ;# the "request" method: binding i of the pdu; answers an error-status name
    set oid [lindex [split $oid /] end]  ;# "context/OID"
    switch $phase {
        get { fill $pdu $i $oid }
        getnext {  ;# in a GetBulk also this repeater's further repetitions, "increment" bindings apart
            if {[catch {getParameter maxreps} reps]} { lassign {1 0} reps step } else { set step [getParameter increment] }
            for {set r 0; set used 0} {$r < $reps} {incr r; incr i $step} {
                if {[set next [successor $oid]] eq ""} { fill $pdu $i $oid endOfMibView; if {!$used} { set used [expr {$r + 1}] } } else { fill $pdu $i [set oid $next] }
            }
            if {$step && ([catch {getParameter totalreps} most] || $most < ($used ? $used : $reps))} { setParameters totalreps [expr {$used ? $used : $reps}] }
        }
        prevalidate {
            if {![info exists ::mib($oid)]} { return notWritable }
            if {[bget $pdu varbind($i).val.type] ne [lindex $::mib($oid) 0]} { return wrongType }
        }
        set { lset ::mib($oid) 1 [bget $pdu varbind($i).val.val] }
    }
    return noError
}
toe_begin [set agent [toe_create]]
snmp set user [snmp get snmpEngineID] public {} {} {} {} 1  ;# a valid community
foreach type {GetRequest GetNextRequest GetBulkRequest SetRequest} { define value pduMethod($type) "process$type %pdu" }
foreach phase {get getnext prevalidate set postvalidate setactions rollback} { define value requestMethod($phase) "mibRequest $phase %pdu %oid %index" }
toe_end
set sock [interface open "inet://127.0.0.1:$port/udp;type=listener"]
fileevent $sock readable {
    if {[catch {toe_send $agent snmp dispatch {} [list $sock agent [interface bread $sock]]} answer]} { puts stderr $answer
    } elseif {$answer ne ""} { interface bwrite $sock $answer; bob destroy $answer }
}
vwait forever
