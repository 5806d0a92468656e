# Runs the Tcl suites against the built library: tclsh8.6 all.tcl ?tcltest options?
# The library is found through TELVI_BUILD (the build folder); every suite loads it with setup.tcl.
package require tcltest 2.5
namespace import tcltest::*
configure -testdir [file dirname [file normalize [info script]]] -singleproc 1 {*}$argv
exit [runAllTests]
