# Sourced by every suite: loads the whole library once into this interpreter.
package require tcltest 2.5
namespace import -force tcltest::*

if {![info exists ::telvitest::library]} {
    namespace eval ::telvitest {}
    if {![info exists ::env(TELVI_BUILD)]} {
        error "set TELVI_BUILD to the build folder"
    }
    set ::telvitest::library [file join $::env(TELVI_BUILD) pkgtelvi.so.1.0]
    # The library's exec refuses to run programs; suites that start a child tclsh keep Tcl's own.
    rename exec ::telvitest::exec
    load $::telvitest::library Telvi
}
