# The procedures the library calls into. Their names and arguments are the library's contract; each
# says who calls it and what it must answer.

# Commands of nodes (refreshCommand, ...) are handed to this evaluator with the callback the node
# named; the agent runs them at once, in the current object (the library calls the callback with
# the result).
proc runCommand {callback command} { uplevel #0 $command }

# A table branch was set up: its index specification (the "index" attribute, else the name column).
# Rows are numbered 1..n here, so nothing needs to be prepared; the index is kept for reference.
proc configIndex {index} {
    define internal indexSpec $index
    return ""
}

# A value failed to store or a collector failed: the node records the error; clearError forgets it.
proc setError {args} {
    define internal error [join $args]
    return ""
}
proc clearError {args} {
    catch {undefine internal error}
    return ""
}

# Nodes that depend on a value that changed (derived values) are told here; the agent has none.
proc informDependencies {args} { return "" }

# A store failed; the library raises the condition with the node current.
proc raise {args} {
    agent::events::note "[toe_name -full] raise: [join $args]"
    return ""
}

# A node without an integer "oid" asks for a sub-identifier: the next free one under its superior.
proc getOidPreference {name} {
    set node [toe_send $agent::root [list locate $name]]
    set superior [toe_send $node toe_superior]
    set used [toe_send $superior {ilookup entries oid}]
    set next 1
    foreach subid $used { if {[string is integer -strict $subid] && $subid >= $next} { set next [expr {$subid + 1}] } }
    return $next
}

# Every node with an OID registers it: "context/oid" and the node. Leaves that answer requests are
# kept in OID order for GetNext.
proc registerName {name node} {
    set oid [lindex [split $name /] end]
    set agent::node($oid) $node
    set access [toe_send $node {lookup -d read-only value access}]
    if {[toe_send $node leafNode] && $access ne "not-accessible"} {
        set agent::leafKind($oid) [expr {[toe_send $node getDimension] eq "vector" ? "column" : "scalar"}]
    }
    return ""
}

# The URL prefix of a branch: its dotted name.
proc buildUrlPrefix {} { return "[toe_name -full]/" }

# The alarm status of a row changed (see events.tcl).
proc checkLimitsCallback {args} { agent::events::limitsChanged {*}$args }

# A rule opened (O), closed (C) or acknowledged (A) a condition.
proc writeEvent {args} { agent::events::write {*}$args }

# A rule asks for the index of the current node's row of that name; an unknown row is an error.
proc getRowIndex {name} {
    foreach row [ilookup -d {} entries data] {
        if {[getRowName $row] eq $name} { return $row }
    }
    error "no row named \"$name\""
}

# A file-scan rule gives up its log subscription; a row vanished while a condition was open; a rule
# wants a fresh value before it decides.
proc logUnsubscribe {args} { return "" }
proc emergencyCleanupRow {args} { agent::events::note "cleanup [join $args]"; return "" }
proc refreshValue {args} {
    set node [toe_self]
    catch {agent::collect::node $node}
    return ""
}
