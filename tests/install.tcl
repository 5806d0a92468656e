# Run by CTest after `cmake --install` into a scratch prefix: a stock tclsh8.6 whose auto_path holds
# <prefix>/lib/tcltk finds the whole library and every single package by name.
set failures 0
proc check {what script expected} {
    if {[catch {uplevel #0 $script} result] || $result ne $expected} {
        puts stderr "FAIL $what: got {$result}, expected {$expected}"
        incr ::failures
    } else {
        puts "ok   $what"
    }
}
set index [file join [lindex $argv 0] lib tcltk telvi1.0 pkgIndex.tcl]
# The periodic package reads its schedule variables from INTERFACE_PATH, as an agent would point it
# at the installed file.
set env(INTERFACE_PATH) [file normalize [file join [lindex $argv 0] share telvi]]
set names {}
foreach line [split [read [set f [open $index]]] \n] {
    if {[regexp {^package ifneeded (\S+) 1\.0 } $line -> name] && $name ne "telvi"} { lappend names $name }
}
close $f
foreach name $names {
    set child [interp create]
    check "package require $name" [list $child eval [list package require $name 1.0]] 1.0
    interp delete $child
}
# (Eventloop's entry word is Event: its require above goes through the library's Eventloop_Init.)
set child [interp create]
check "package require telvi after load" [list apply {{child} {
    load {} Telvi $child
    $child eval {package require telvi}
}} $child] 1.0
interp delete $child
check "package require telvi" {package require telvi} 1.0
check "idnext after telvi" {idnext} id1
puts "[expr {[llength $names] + 3 - $failures}] passed, $failures failed"
exit [expr {$failures > 0}]
