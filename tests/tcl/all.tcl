# Runs the Tcl suites against the built library: tclsh8.6 all.tcl ?tcltest options?
# The library is found through TELVI_BUILD (the build folder); every suite loads it with setup.tcl.
# With -file, the suites named run in this interpreter (CTest runs one suite per test that way).
# Without it, every suite runs alone in a tclsh of its own, as under CTest: suites count on a fresh
# library (the first IDs, the objects and procs they define).
package require tcltest 2.5
namespace import tcltest::*
set here [file dirname [file normalize [info script]]]
if {"-file" ni $argv} {
    set failed {}
    foreach suite [lsort [glob -directory $here -tails *.test]] {
        if {[catch {exec [info nameofexecutable] [info script] -file $suite {*}$argv >@stdout 2>@stderr}]} {
            lappend failed $suite
        }
    }
    puts "all.tcl: [llength [glob -directory $here *.test]] suites, failed: [expr {$failed eq {} ? "none" : $failed}]"
    exit [expr {$failed ne {}}]
}
configure -testdir $here -singleproc 1 {*}$argv
exit [runAllTests]
