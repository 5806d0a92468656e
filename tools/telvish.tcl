# Started by ./telvish: loads the library, then runs a script or reads commands interactively.
set library [lindex $argv 0]
set argv [lrange $argv 1 end]
set argc [llength $argv]
load $library Telvi
unset library

if {$argc > 0} {
    set argv0 [lindex $argv 0]
    set argv [lrange $argv 1 end]
    incr argc -1
    source $argv0
    exit 0
}

set tcl_interactive 1
set command ""
puts -nonewline "telvi% "
flush stdout
while {[gets stdin line] >= 0} {
    append command $line "\n"
    if {![info complete $command]} {
        puts -nonewline "> "
        flush stdout
        continue
    }
    set code [catch {uplevel #0 $command} result]
    set command ""
    if {$code == 1} {
        puts stderr $result
    } elseif {$result ne ""} {
        puts $result
    }
    puts -nonewline "telvi% "
    flush stdout
}
puts ""
