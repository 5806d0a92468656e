# Reads the results bench/run left in a folder and prints the comparison table (Markdown).
# Usage: tclsh8.6 report.tcl RESULTS-FOLDER
set dir [lindex $argv 0]

# Google Benchmark's CSV: one row per benchmark (medians carry the suffix _median); counters are
# columns of their own. Returns a dict: name -> dict column -> value.
proc readCsv {file} {
    set rows {}
    if {![file exists $file]} { return $rows }
    set f [open $file]
    set header {}
    while {[gets $f line] >= 0} {
        if {![string match {name,*} $line] && $header eq {}} continue
        set fields [parseCsvLine $line]
        if {$header eq {}} { set header $fields; continue }
        set row {}
        foreach column $header value $fields { dict set row $column $value }
        dict set rows [dict get $row name] $row
    }
    close $f
    return $rows
}

proc parseCsvLine {line} {
    set fields {}
    set field {}
    set quoted 0
    foreach c [split $line {}] {
        if {$c eq "\""} {
            set quoted [expr {!$quoted}]
        } elseif {$c eq "," && !$quoted} {
            lappend fields $field
            set field {}
        } else {
            append field $c
        }
    }
    lappend fields $field
    return $fields
}

set all {}
foreach file [glob -nocomplain -directory $dir *.csv] { set all [dict merge $all [readCsv $file]] }

# A row's value in nanoseconds per iteration (cpu_time in its unit), or a counter.
proc value {name {column cpu_time}} {
    global all
    # A name may be a glob pattern (benchmarks with fixed iterations carry them in their names).
    set candidates {}
    foreach key [dict keys $all] {
        if {[string match ${name}_median $key]} { lappend candidates $key }
    }
    foreach key [dict keys $all] {
        if {[string match $name $key]} { lappend candidates $key }
    }
    foreach candidate $candidates {
        if {[dict exists $all $candidate $column]} {
            set v [dict get $all $candidate $column]
            if {$v eq {}} continue
            if {$column eq "cpu_time" || $column eq "real_time"} {
                set unit [dict get $all $candidate time_unit]
                set v [expr {$v * [dict get {ns 1 us 1e3 ms 1e6 s 1e9} $unit]}]
            }
            return $v
        }
    }
    return {}
}

# OpenSSL's figure: bytes per second for the one block size asked.
proc opensslNs {file bytes} {
    if {![file exists $file]} { return {} }
    set f [open $file]
    set text [read $f]
    close $f
    foreach line [split $text \n] {
        if {[regexp {^(md5|hmac\(md5\))\s+([0-9.]+)k} $line -> _ thousands]} {
            return [expr {$bytes / ($thousands * 1000.0) * 1e9}]
        }
    }
    return {}
}

proc fmt {ns} {
    if {$ns eq {}} { return "–" }
    if {$ns >= 1e9} { return [format "%.2f s" [expr {$ns / 1e9}]] }
    if {$ns >= 1e6} { return [format "%.2f ms" [expr {$ns / 1e6}]] }
    if {$ns >= 1e3} { return [format "%.2f µs" [expr {$ns / 1e3}]] }
    return [format "%.0f ns" $ns]
}

set table {}
# what, ours, peer's, ratio as "peer's time / ours" (higher is better for us) or "ours / peer's"
proc row {what ours peer how} {
    global table
    set ratio –
    if {$ours ne {} && $peer ne {} && $ours > 0 && $peer > 0} {
        set ratio [format "%.2fx" [expr {$how eq "speedup" ? double($peer) / $ours : double($ours) / $peer}]]
    }
    lappend table [list $what [fmt $ours] [fmt $peer] $ratio $how]
}

set codec BM_RatioGetResponse10
row "BER encode, GetResponse with 10 bindings (net-snmp snmp_build)" \
    [value $codec telvi_enc_ns] [value $codec netsnmp_enc_ns] speedup
row "BER decode, the same message (net-snmp snmp_parse)" \
    [value $codec telvi_dec_ns] [value $codec netsnmp_dec_ns] speedup
row "password to key, 1 MiB of MD5 (openssl speed md5, 1 MiB)" \
    [value BM_PasswordToKey] [opensslNs [file join $dir md5.txt] 1048576] cost
row "HMAC-MD5-96 of 128 bytes (openssl speed hmac md5, 128 bytes)" \
    [value BM_HmacMd5_96Of128Bytes] [opensslNs [file join $dir hmac.txt] 128] cost
set calls BM_RatioToeSend
row "method through three parents (plain proc call)" \
    [value $calls method_ns] [value $calls proc_ns] cost
row "toe_send object method (plain proc call)" [value $calls send_ns] [value $calls proc_ns] cost
row "next edge 1 year away (1 s away), UTC" \
    [value BM_PeriodicSecsToWait/1] [value BM_PeriodicSecsToWait/0] cost
row "next edge 1 year away (1 s away), Europe/Berlin" \
    [value BM_PeriodicSecsToWait/7] [value BM_PeriodicSecsToWait/6] cost
row "next edge 1 year away, Europe/Berlin (UTC)" \
    [value BM_PeriodicSecsToWait/7] [value BM_PeriodicSecsToWait/1] cost
foreach {kind label} {0 "memory-mapped" 1 "stream"} {
    foreach procs {1 4} {
        set ours [value BM_Append/kind:$kind/procs:$procs/*manual_time items_per_second]
        set peer [value BM_Append/kind:2/procs:$procs/*manual_time items_per_second]
        set ns [expr {$ours ne {} ? 1e9 / $ours : {}}]
        set peerNs [expr {$peer ne {} ? 1e9 / $peer : {}}]
        row "circular log append, $label, $procs process(es) (fcntl lock + pwrite + unlock)" $ns $peerNs speedup
    }
}
foreach {size label} {4096 "4 KiB" 1048576 "1 MiB"} {
    row "\"sin\" encode, $label (OpenSSL base64 encode of the same bytes)" \
        [value BM_SinEncode/$size] [value BM_Base64Encode/$size] speedup
    row "\"sin\" decode, $label (OpenSSL base64 decode of the same bytes)" \
        [value BM_SinDecode/$size] [value BM_Base64Decode/$size] speedup
}
# grep runs in a child process: wall-clock time for both.
row "log scan of 1 GB for a fixed text (grep -F -c)" [value BM_ScanLog* real_time] [value BM_GrepFixed* real_time] speedup
# The tree benchmarks count microseconds.
proc us {name column} {
    set v [value $name $column]
    expr {$v eq {} ? {} : $v * 1e3}
}
row "setValue of a 10-element vector, filter and set action (plain Tcl proc with arrays)" \
    [us BM_VectorSetValue_Current lib_us] [us BM_VectorSetValue_Current bare_us] cost
row "setValue of a 100-row, 3-column table (plain Tcl proc with arrays)" \
    [us BM_TableSetValue_Current lib_us] [us BM_TableSetValue_Current bare_us] cost

set machine {}
if {[file exists [file join $dir machine.txt]]} {
    set f [open [file join $dir machine.txt]]
    set machine [string trim [read $f]]
    close $f
}
puts $machine
puts ""
puts "| comparison (peer) | telvi | peer | ratio |"
puts "|---|---|---|---|"
foreach entry $table {
    lassign $entry what ours peer ratio how
    set note [expr {$how eq "speedup" ? "as fast" : "the cost"}]
    if {$ratio eq "–"} { set note "" }
    puts "| $what | $ours | $peer | $ratio $note |"
}
