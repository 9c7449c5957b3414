# Veltro shell integration for fish: reports the prompt, each command and the working folder to
# the terminal: OSC 133 A (prompt start), B (command line start), C (the command's output
# starts), D;<exit code> (the command finished), OSC 633 E;<command line> and OSC 7.
# The agent puts the folder above this one first in XDG_DATA_DIRS so that fish reads this file;
# VELTRO_XDG_DATA_DIRS holds the value the shell was given (absent: it had none).

if set -q VELTRO_XDG_DATA_DIRS
    set -gx XDG_DATA_DIRS $VELTRO_XDG_DATA_DIRS
    set -e VELTRO_XDG_DATA_DIRS
else
    set -e XDG_DATA_DIRS
end

status is-interactive; or exit
set -q __veltro_installed; and exit
set -g __veltro_installed 1
set -g __veltro_running

# The command line with backslashes doubled, semicolons and control characters as \xHH.
function __veltro_escaped
    set -l line (string replace -a -- '\\' '\\\\' $argv[1] | string collect)
    set line (string replace -a -- ';' '\\x3b' $line | string collect)
    if string match -qr -- '[\x01-\x1f]' $line
        for i in (seq 31)
            set -l hex (printf '%02x' $i)
            set line (string replace -ra -- "\\x$hex" "\\\\x$hex" $line | string collect)
        end
    end
    printf '%s' $line
end

# The working folder as a file URL, its bytes outside the unreserved set percent-encoded.
function __veltro_report_folder --on-variable PWD
    printf '\e]7;file://%s%s\a' $hostname (string escape --style=url -- $PWD)
end

function __veltro_preexec --on-event fish_preexec
    test -n "$argv[1]"; and printf '\e]633;E;%s\a' (__veltro_escaped $argv[1])
    printf '\e]133;C\a'
    set -g __veltro_running 1
end

# fish keeps the command's $status for the prompt whatever its event handlers do.
function __veltro_postexec --on-event fish_postexec
    set -l code $status
    if test -n "$__veltro_running"
        printf '\e]133;D;%s\a' $code
        set -g __veltro_running
    end
end

# The marks go around whatever fish_prompt the user's configuration defined; it is wrapped at
# the first prompt, after config.fish has run, and again whenever it is defined anew.
function __veltro_wrap_prompt --on-event fish_prompt
    functions -q fish_prompt; or return
    string match -q '*__veltro_user_prompt*' -- (functions fish_prompt); and return
    functions -e __veltro_user_prompt
    functions -c fish_prompt __veltro_user_prompt
    function fish_prompt
        printf '\e]133;A\a'
        __veltro_user_prompt
        printf '\e]133;B\a'
    end
end

__veltro_report_folder
