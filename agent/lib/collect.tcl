# Collectors: each returns the value list of the node that names it in "collector" (for a table,
# the rows one after the other, one element per column; for a scalar group, one element per
# child). Shares and load averages are kept as integers: tenths of a percent, hundredths.

namespace eval agent::collect {
    variable lastRead
    array set lastRead {}
}

proc agent::collect::tenths {percent} { expr {round($percent * 10)} }

# Every node with a collector that is not read on request.
proc agent::collect::all {} {
    foreach node [collectedNodes] {
        if {[toe_send $node {lookup -d "" value onRequest}] eq ""} { node $node }
    }
}

proc agent::collect::collectedNodes {} {
    variable nodes
    if {![info exists nodes]} {
        set nodes {}
        toe_send $agent::module {toe_recurse pre {
            if {![catch {ilookup value collector}]} { lappend agent::collect::nodes [toe_self] }
        }}
    }
    return $nodes
}

# Reads one node's value now.
proc agent::collect::node {node} {
    set collector [toe_send $node {ilookup value collector}]
    if {[catch {$collector} values]} {
        toe_send $node [list setError $values]
        agent::events::note "collector $collector of [toe_send $node {toe_name -full}] failed: $values"
        return
    }
    toe_send $node [list setValue 0 $values]
    agent::forgetRows
}

# Values read on request are read at most once a second: a walk touches them many times.
proc agent::collect::fresh {node} {
    variable lastRead
    set now [clock seconds]
    if {[info exists lastRead($node)] && $lastRead($node) == $now} return
    set lastRead($node) $now
    node $node
}

proc agent::collect::cpu {} {
    lassign [ssinfo cpu] idle busy system user
    return [list [tenths $idle] [tenths $busy] [tenths $system] [tenths $user]]
}
proc agent::collect::processorLoad {} { return [list [expr {round([ssinfo cpubusy])}]] }
proc agent::collect::load {} {
    lmap value [ssinfo load] { expr {round($value * 100)} }
}
proc agent::collect::meminfo {} {
    foreach {- key value} [regexp -all -inline -line {^(\w+):\s+(\d+)} [agent::readFile /proc/meminfo]] {
        set info($key) $value
    }
    return [array get info]
}
proc agent::collect::memory {} {
    array set info [meminfo]
    lassign [ssinfo swap] total available used
    return [list $info(MemTotal) $info(MemAvailable) $total $available [tenths $used]]
}
proc agent::collect::processes {} {
    lassign [ssinfo proc] max current used
    return [list $max $current [tenths $used]]
}
proc agent::collect::processCount {} { lindex [ssinfo proc] 1 }
proc agent::collect::processMax {} { lindex [ssinfo proc] 0 }
proc agent::collect::users {} { lindex [ssinfo user] 2 }
proc agent::collect::hostUptime {} {
    set seconds [lindex [agent::readFile /proc/uptime] 0]
    return [expr {round($seconds * 100) % 4294967296}]
}

# The file systems that the host statistics report (mount, total and available KiB, used share),
# as telviFsTable and as hrStorageTable rows.
proc agent::collect::fileSystems {} {
    set values {}
    set index 0
    foreach {mount total available used} [ssinfo file] {
        lappend values [incr index] $mount $total $available [tenths $used]
    }
    return $values
}
proc agent::collect::hrStorage {} {
    set values {}
    set index 0
    foreach {mount total available used} [ssinfo file] {
        # In use, as df counts it: the used share is of what users could have (used + available),
        # so blocks reserved for the system count as neither.
        set inUse [expr {$used >= 100 ? $total - $available : round($available * $used / (100.0 - $used))}]
        lappend values [incr index] 1.3.6.1.2.1.25.2.1.4 $mount 1024 [clamp $total] [clamp $inUse]
    }
    return $values
}
proc agent::collect::clamp {value} { expr {$value > 2147483647 ? 2147483647 : $value} }

# /proc/net/dev: one row per interface, in file order.
proc agent::collect::netdev {} {
    set lines [lrange [split [agent::readFile /proc/net/dev] \n] 2 end]
    set rows {}
    foreach line $lines {
        if {![regexp {^\s*([^:]+):\s*(.*)$} $line -> name counters]} continue
        lappend rows [list $name {*}$counters]
    }
    return $rows
}
proc agent::collect::ifNumber {} { llength [netdev] }
proc agent::collect::ifTable {} {
    set values {}
    set index 0
    foreach row [netdev] {
        # receive: bytes packets errs drop fifo frame compressed multicast; transmit: bytes packets errs ...
        set name [lindex $row 0]
        set type [expr {$name eq "lo" ? 24 : 6}]
        lappend values [incr index] $name $type [expr {[lindex $row 1] % 4294967296}] [lindex $row 3] \
            [expr {[lindex $row 9] % 4294967296}] [lindex $row 11]
    }
    return $values
}
proc agent::collect::interfaceErrors {} {
    set values {}
    set index 0
    foreach {name in out coll} [ssinfo netif] {
        lappend values [incr index] $name [tenths $in] [tenths $out] [tenths $coll]
    }
    return $values
}
proc agent::collect::tcpStates {} { ssinfo tcp }
proc agent::collect::tcpCurrEstab {} {
    set states [ssinfo tcp]
    expr {[lindex $states 4] + [lindex $states 5]}
}
# A scalar whose value is one text with blanks: one list element.
proc agent::collect::alarmStatus {} { list [agent::events::moduleStatus] }
