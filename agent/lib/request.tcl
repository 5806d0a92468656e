# SNMP: the port, the communities and users, and the "request" method that answers each binding of
# a request from the managed-object tree.
#
# A request arrives through `snmp dispatch`, which calls the root object's pdu handler for its type
# (pduMethod(GetRequest), ...); the handler hands the pdu to the library's request driver
# (processGetRequest, ...), which calls requestMethod(<phase>) once per binding with the binding's
# "context/oid" and index. The method answers with an error-status name.

proc agent::snmpStart {} {
    variable options
    variable root
    variable fd
    foreach {type command} {GetRequest processGetRequest GetNextRequest processGetNextRequest
                            GetBulkRequest processGetBulkRequest SetRequest processSetRequest} {
        define value pduMethod($type) "agent::handle $command %pdu"
    }
    foreach phase {get getnext prevalidate set postvalidate setactions rollback} {
        define value requestMethod($phase) "agent::request $phase %oid %index %pdu"
    }
    define value groupMethod {agent::group %securityName}

    # The engine: its identity and the system group's texts, then an engine ID for SNMPv2u that
    # names this host (its IPv4 address in octets 6 to 9).
    snmp set sysDescr [lookup value snmp.sysDescr] sysContact [lookup value snmp.sysContact] \
        sysLocation [lookup value snmp.sysLocation] sysName [info hostname] sysObjectID [lookup value snmp.sysObjectID]
    set host [lindex [split [snmp get address] :] 0]
    set engineId [join [concat 00 01 86 9f 01 [lmap octet [split $host .] {format %02x $octet}] 00 00 01] :]
    snmp set engine $engineId 1
    foreach community [list [dict get $options communityRo] [dict get $options communityRw]] {
        snmp set user $engineId $community {} {} {} {} 1
    }
    array set protocols {md5 1.3.6.1.6.3.6.1.3.1 hmac 1.3.6.1.6.3.10.1.1.2}
    set users [lookup -d "" value snmp.v2uUsers]
    if {[llength $users] % 3 != 0} { error "snmp.v2uUsers: give user, protocol and password for each user" }
    foreach {name protocol password} $users {
        if {![info exists protocols($protocol)]} {
            error "snmp.v2uUsers: unknown protocol \"$protocol\" for user \"$name\": give md5 or hmac"
        }
        set oid $protocols($protocol)
        set key [snmp key $oid localize [snmp key $oid create $password] $engineId]
        snmp set user $engineId $name $oid $key {} {} 1
    }
    variable communities [list [dict get $options communityRo] [dict get $options communityRw]]
    variable groups [lookup -d "" value snmp.groups]
    if {[llength $groups] % 2 != 0} { error "snmp.groups: give pairs of user and group" }
    dict set groups [dict get $options communityRw] rw
    dict set groups [dict get $options communityRo] ro

    set address [dict get $options address]
    # A receive buffer for bursts: managers keep several requests in flight.
    set fd [interface open "inet://$address:[dict get $options port]/udp;type=listener;recvBufSize=256"]
    dict set options boundPort [lindex [split [lindex [interface info $fd] 0] :] 3]
    fileevent $fd readable [list agent::receive $fd]
}

# The datagrams waiting on the socket: the engine answers each through the handlers; whatever it
# cannot use is dropped. Reading on until the socket is empty (at most a few dozen at a time) saves
# the event loop's wake-ups when managers keep several requests in flight.
proc agent::receive {fd} {
    for {set n 0} {$n < 32} {incr n} {
        set datagram [interface bread $fd]
        if {[bget $datagram buf.len] == 0} {
            bob destroy $datagram
            return
        }
        if {[catch {snmp dispatch {} [list $fd udp $datagram]} answer]} continue
        if {$answer ne ""} {
            catch {interface bwrite $fd $answer}
            bob destroy $answer
        }
    }
}

# A received request goes to the library's driver for its type. The engine keeps SNMPv2u users and
# communities in one table, so an SNMPv1 or SNMPv2c request that names a v2u user passes its
# community check: such a request is dropped unanswered, as one with a wrong community.
proc agent::handle {command pdu} {
    variable communities
    if {[bget $pdu version] ne "SNMPv2u" && [bget $pdu securityName] ni $communities} {
        bob destroy $pdu
        return
    }
    $command $pdu
}

# The requester's group, which access entries name.
proc agent::group {name} {
    variable groups
    if {[dict exists $groups $name]} { return [dict get $groups $name] }
    return ""
}

# Whether the requester may read (or write) the node. Access entries are configuration, so the
# answer for a requester and a node is kept.
proc agent::allowed {node pdu} {
    variable access
    if {[info commands _checkAccess] eq ""} { return 1 }
    set asked [requester $pdu]
    set key [list $node {*}$asked]
    if {![info exists access($key)]} {
        set access($key) [toe_send $node [list _checkAccess {*}$asked]]
    }
    return $access($key)
}

# The pdu's type, security level, security name and groups: the same for every binding of a pdu,
# so read once (bob ids are never used twice).
proc agent::requester {pdu} {
    variable requester
    if {![info exists requester] || [lindex $requester 0] ne $pdu} {
        set requester [list $pdu [bget $pdu type] [bget $pdu securityLevel] [bget $pdu securityName] [bget $pdu groups]]
    }
    lrange $requester 1 end
}

# What the request method needs of a leaf, read from its attributes once: syntax, access, the
# engine field it mirrors, a script that makes its value, and the node whose collector runs when a
# request touches it.
proc agent::leafInfo {node} {
    variable info
    if {[info exists info($node)]} { return $info($node) }
    set refresh [toe_send $node {lookup -d "" value onRequest}]
    set owner ""
    if {$refresh eq "yes"} {
        set owner $node
    } else {
        set table [toe_send $node toe_superior]
        if {$table ne "" && [toe_send $table {lookup -d "" value onRequest}] eq "yes"} { set owner $table }
    }
    set info($node) [dict create syntax [toe_send $node {lookup -d "" value syntax}] \
        access [toe_send $node {lookup -d read-only value access}] \
        engine [toe_send $node {ilookup -d "" value engine}] \
        script [expr {$refresh eq "yes" ? "" : $refresh}] refreshOwner $owner]
    return $info($node)
}

# The value of a leaf's instance (row "0" for a scalar).
proc agent::value {node row} {
    set info [leafInfo $node]
    if {[dict get $info engine] ne ""} { return [snmp get [dict get $info engine]] }
    set script [dict get $info script]
    if {$script ne ""} { toe_send $node [list setValue 0 [list [toe_send $node $script]]] }
    toe_send $node [list getRawValue $row]
}

# Before a value read on request is used, its collector (here or on its table) runs.
proc agent::refresh {node} {
    set owner [dict get [leafInfo $node] refreshOwner]
    if {$owner ne ""} { collect::fresh $owner }
}

# A table leaf's rows, kept until the next store into the node (collect::node, agent::store).
proc agent::rows {node} {
    variable rows
    if {![info exists rows($node)]} {
        set rows($node) [lsort -integer [lmap row [toe_send $node {ilookup -d {} entries data}] {
            if {[string is integer -strict $row] && $row > 0} { set row } else continue
        }]]
    }
    return $rows($node)
}
proc agent::forgetRows {} { array unset agent::rows }

# The instance's value into the binding; 0 when the leaf has no value of its syntax to give (its
# collector failed): the caller then answers the binding otherwise.
proc agent::put {pdu index oid node row} {
    expr {![catch {
        bset $pdu varbind($index).oid $oid varbind($index).val.type [dict get [leafInfo $node] syntax] \
            varbind($index).val.val [value $node $row]
    }]}
}

# The leaf that holds an instance OID, with the row: {node row} or {}.
proc agent::instance {oid} {
    variable node
    variable leafKind
    set arcs [split $oid .]
    set leaf [join [lrange $arcs 0 end-1] .]
    set row [lindex $arcs end]
    if {![info exists leafKind($leaf)]} { return {} }
    refresh $node($leaf)
    if {$leafKind($leaf) eq "scalar"} {
        if {$row ne "0"} { return {} }
    } elseif {$row ni [rows $node($leaf)]} {
        return {}
    }
    return [list $node($leaf) $row]
}

# The first instance after oid, as {oid node row}, or {} at the end of the MIB.
proc agent::nextInstance {oid} {
    variable leaves
    variable leafKind
    variable node
    # Start at the last leaf at or before the OID (found by bisection), since only it can hold
    # the OID; the leaves after it follow in order.
    set low -1
    set high [llength $leaves]
    while {$high - $low > 1} {
        set middle [expr {($low + $high) / 2}]
        if {[oidcmp [lindex $leaves $middle] $oid] <= 0} { set low $middle } else { set high $middle }
    }
    set from $low
    foreach leaf [lrange $leaves [expr {max(0, $from)}] end] {
        set inside [string match $leaf.* $oid]
        if {!$inside && [oidcmp $oid $leaf] > 0} continue
        set n $node($leaf)
        if {$leafKind($leaf) eq "scalar"} {
            if {$inside} continue
            refresh $n
            return [list $leaf.0 $n 0]
        }
        refresh $n
        set after 0
        if {$inside} { set after [lindex [split [string range $oid [string length $leaf.] end] .] 0] }
        foreach row [rows $n] {
            if {$row > $after} { return [list $leaf.$row $n $row] }
        }
    }
    return {}
}

proc agent::request {phase oid index pdu} {
    set oid [lindex [split $oid /] end]
    switch -- $phase {
        get {
            set found [instance $oid]
            if {$found eq "" || ![allowed [lindex $found 0] $pdu]} {
                set exception [expr {[info exists agent::leafKind([join [lrange [split $oid .] 0 end-1] .])] ? "noSuchInstance" : "noSuchObject"}]
                bset $pdu varbind($index).val.type $exception
                return noError
            }
            if {![put $pdu $index $oid {*}$found]} { bset $pdu varbind($index).val.type noSuchInstance }
        }
        getnext {
            nextInto $pdu $index $oid
            if {[lindex [requester $pdu] 0] eq "GetBulkRequest" && ![catch {getParameter maxreps} repetitions]} {
                # GetBulk: the further repetitions of this binding, each "increment" bindings on.
                # After the end of the MIB the repetitions stop; the answer keeps as many as the
                # longest repeater needs (the others are filled with endOfMibView up to there).
                set step [getParameter increment]
                set done $repetitions
                for {set r 1} {$r < $repetitions} {incr r} {
                    set previous [expr {$index + ($r - 1) * $step}]
                    set at [bget $pdu varbind($previous).oid]
                    if {[bget $pdu varbind($previous).val.type] eq "endOfMibView"} {
                        if {$done == $repetitions} { set done $r }
                        bset $pdu varbind([expr {$previous + $step}]).oid $at varbind([expr {$previous + $step}]).val.type endOfMibView
                    } else {
                        nextInto $pdu [expr {$previous + $step}] $at
                    }
                }
                if {![catch {getParameter totalreps} most] && $most > $done} { set done $most }
                setParameters totalreps $done
            }
        }
        prevalidate {
            variable undo
            array unset undo
            set found [instance $oid]
            if {$found eq ""} {
                return [expr {[info exists agent::node($oid)] ? "notWritable" : "noCreation"}]
            }
            lassign $found n row
            if {[dict get [leafInfo $n] access] ne "read-write"} { return notWritable }
            if {![allowed $n $pdu]} { return noAccess }
            if {[bget $pdu varbind($index).val.type] ne [dict get [leafInfo $n] syntax]} { return wrongType }
            if {[string length [bget $pdu varbind($index).val.val]] > 255} { return wrongLength }
        }
        set {
            variable undo
            lassign [instance $oid] n row
            set undo($index) [list $n [value $n $row]]
            store $n [bget $pdu varbind($index).val.val]
        }
        rollback {
            variable undo
            if {[info exists undo($index)]} { store {*}$undo($index) }
        }
        postvalidate - setactions {}
    }
    return noError
}

proc agent::nextInto {pdu index oid} {
    set next [nextInstance $oid]
    if {$next eq ""} {
        bset $pdu varbind($index).oid $oid varbind($index).val.type endOfMibView
        return
    }
    lassign $next instance n row
    # Not visible to this requester, or without a value: go on after the whole leaf.
    if {![allowed $n $pdu] || ![put $pdu $index $instance $n $row]} {
        nextInto $pdu $index [join [lrange [split $instance .] 0 end-1] .].4294967295
    }
}

# A written value: the engine's own field when the node mirrors one, and the node's value. It stays
# until the agent stops.
proc agent::store {node value} {
    set field [dict get [leafInfo $node] engine]
    if {$field ne ""} { snmp set $field $value }
    toe_send $node [list setValue 0 [list $value]]
    forgetRows
}
