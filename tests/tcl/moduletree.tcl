# Sourced by the suites that work on tests/data/config/moduletree.cfg (status, identity, acl):
# loads the tree into a new root, names its nodes in ::T and makes the module "netmod" as the agent
# does after a load. The agent's procedures are each suite's own recorders.

namespace eval ::mtree {
    variable config [file normalize [file join [file dirname [info script]] .. data config]]
    variable made {}
}

# T(<last path element>) = id for every node of the tree; T(root) the unnamed root.
proc ::mtree::load {} {
    global T
    array unset T
    set T(root) [toe_create]
    lappend ::mtree::made $T(root)
    set saved [array get ::env INTERFACE_PATH]
    set ::env(INTERFACE_PATH) $::mtree::config
    toe_send $T(root) {import interface value moduletree.cfg}
    unset ::env(INTERFACE_PATH)
    array set ::env $saved
    foreach path {mib iso private private.netmod private.netmod.system private.netmod.system.uptime
        private.netmod.system.contact private.netmod.system.location private.netmod.quiet
        private.netmod.quiet.probe private.netmod.ifTable private.netmod.ifTable.ifIndex
        private.netmod.ifTable.ifDescr private.netmod.ifTable.child2 private.netmod.secrets} {
        set T([lindex [split $path .] end]) [toe_send $T(root) [list locate $path]]
    }
}

# The module: netmod is its own root, every node below copies it; vector leaves are marked.
proc ::mtree::makeModule {} {
    toe_send $::T(netmod) {
        define internal moduleroot [toe_self]
        toe_recurse pre {setModuleRoot; initializeLeafVector}
    }
}

proc ::mtree::collect {} { lappend ::mtree::collected [toe_self] }
proc ::mtree::cleanup {} {
    for {set i 0} {$i < 20} {incr i} { toe_end }
    foreach root $::mtree::made {
        if {![idexists $root]} continue
        set ::mtree::collected {}
        toe_send $root {toe_recurse post ::mtree::collect}
        foreach id $::mtree::collected { if {[idexists $id]} { toe_destroy $id } }
    }
    set ::mtree::made {}
    array unset ::T
}

proc at {node script} { toe_send $::T($node) $script }
# Node ids in a text replaced by @<name>, so expected values read as names.
proc named {text} {
    set map {}
    foreach {name id} [array get ::T] { lappend map $id @$name }
    # Longer ids first: toe12 must not be taken for toe1 followed by 2.
    set map [lsort -stride 2 -index 0 -decreasing -command ::mtree::bylength $map]
    string map $map $text
}
proc ::mtree::bylength {a b} { expr {[string length $a] - [string length $b]} }
