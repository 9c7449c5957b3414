# Veltro shell integration for zsh: reports the prompt, each command and the working folder to
# the terminal: OSC 133 A (prompt start), B (command line start), C (the command's output
# starts), D;<exit code> (the command finished), OSC 633 E;<command line> and OSC 7. Read once
# the user's start-up files have run, so that the user's hooks are in place.

(( ${+__veltro_installed} )) && return 0
typeset -g __veltro_installed=1 __veltro_running= __veltro_ps1= __veltro_user_ps1=
typeset -g __veltro_prompt_start=$'%{\e]133;A\a%}' __veltro_prompt_end=$'%{\e]133;B\a%}'

# The command line with backslashes doubled, semicolons and control characters as \xHH, in
# REPLY: a command substitution would cost a fork per command.
__veltro_escape() {
    emulate -L zsh
    local line=$1 i c hex
    line=${line//\\/\\\\}
    line=${line//;/\\x3b}
    for (( i = 1; i < 32; i++ )); do
        c=${(#)i}
        if [[ $line == *$c* ]]; then
            printf -v hex '%02x' $i
            line=${line//$c/\\x$hex}
        fi
    done
    typeset -g REPLY=$line
}

# The working folder as a file URL, its bytes outside the unreserved set percent-encoded.
__veltro_report_folder() {
    emulate -L zsh
    if [[ $PWD != $__veltro_folder ]]; then
        setopt no_multibyte
        local encoded= c i
        for (( i = 1; i <= $#PWD; i++ )); do
            c=$PWD[i]
            case $c in
                ([a-zA-Z0-9/._~-]) encoded+=$c ;;
                (*) encoded+=%${(l:2::0:)$(( [##16] #c & 255 ))} ;;
            esac
        done
        typeset -g __veltro_folder=$PWD __veltro_encoded_folder=$encoded
    fi
    printf '\e]7;file://%s%s\a' $HOST $__veltro_encoded_folder
}

# First of the prompt hooks: the end of the command, and the user's hooks find the user's
# prompt. zsh gives every hook the command's $? and restores it for the prompt.
__veltro_precmd() {
    local code=$?
    if [[ -n $__veltro_running ]]; then
        printf '\e]133;D;%s\a' $code
        __veltro_running=
    fi
    __veltro_report_folder
    [[ $PS1 == "$__veltro_ps1" ]] && PS1=$__veltro_user_ps1
}

# Last of the prompt hooks: the marks around whatever prompt the user's hooks left. Without
# prompt_percent the marks would show as text.
__veltro_precmd_last() {
    [[ -o prompt_percent ]] || return 0
    __veltro_user_ps1=$PS1
    __veltro_ps1=$__veltro_prompt_start$PS1$__veltro_prompt_end
    PS1=$__veltro_ps1
}

# The command line as typed ($1 is empty when history is off), then the output's start. Also
# keeps __veltro_precmd_last last, should a hook have been added since; the hook arrays cannot
# be reordered while zsh runs them.
__veltro_preexec() {
    if [[ -n $1 ]]; then
        __veltro_escape $1
        printf '\e]633;E;%s\a' $REPLY
    fi
    printf '\e]133;C\a'
    __veltro_running=1
    if [[ $precmd_functions[-1] != __veltro_precmd_last ]]; then
        precmd_functions=(${precmd_functions:#__veltro_precmd_last} __veltro_precmd_last)
    fi
}

precmd_functions=(__veltro_precmd ${precmd_functions:#__veltro_precmd} __veltro_precmd_last)
preexec_functions+=(__veltro_preexec)
