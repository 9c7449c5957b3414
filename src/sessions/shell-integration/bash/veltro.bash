# Veltro shell integration for bash, read as bash's --init-file. It first reads the start-up
# files bash would have read without it, then reports the prompt, each command and the working
# folder to the terminal: OSC 133 A (prompt start), B (command line start), C (the command's
# output starts), D;<exit code> (the command finished), OSC 633 E;<command line> and OSC 7.
#
# The agent starts bash without -l, as --init-file applies only to shells that are not login
# shells; VELTRO_BASH_STARTUP says what bash would have read:
#   unset  an interactive shell: ~/.bashrc (bash reads /etc/bash.bashrc itself, where built so)
#   login  a login shell: /etc/profile, then the first of ~/.bash_profile, ~/.bash_login and
#          ~/.profile. What still differs from `bash -l`: `shopt login_shell` is off, $0 has no
#          leading dash, `logout` refuses, ~/.bash_logout is not read at exit, and
#          /etc/bash.bashrc is read before /etc/profile (Debian's /etc/profile reads it again).
#   none   a shell that reads no start-up files of the user's.

case ${VELTRO_BASH_STARTUP-} in
    login)
        unset VELTRO_BASH_STARTUP
        if [[ -r /etc/profile ]]; then . /etc/profile; fi
        if [[ -r ~/.bash_profile ]]; then
            . ~/.bash_profile
        elif [[ -r ~/.bash_login ]]; then
            . ~/.bash_login
        elif [[ -r ~/.profile ]]; then
            . ~/.profile
        fi
        ;;
    none)
        unset VELTRO_BASH_STARTUP
        ;;
    *)
        if [[ -r ~/.bashrc ]]; then . ~/.bashrc; fi
        ;;
esac

# PS0 (bash 4.4) is what reports a command before it runs; without it nothing is reported.
if [[ -z ${__veltro_installed-} ]] &&
    ((BASH_VERSINFO[0] > 4 || (BASH_VERSINFO[0] == 4 && BASH_VERSINFO[1] >= 4))); then
    __veltro_installed=1

    # The marks around the prompt, marked as taking no room on the line.
    __veltro_prompt_start='\[\e]133;A\a\]'
    __veltro_prompt_end='\[\e]133;B\a\]'

    # The control characters a command line may hold, escaped as \xHH when it is reported.
    __veltro_controls=()
    for ((__veltro_i = 1; __veltro_i < 32; __veltro_i++)); do
        printf -v __veltro_hex '\\x%02x' "$__veltro_i"
        printf -v "__veltro_controls[__veltro_i]" "$__veltro_hex"
    done
    unset __veltro_i __veltro_hex

    # Reads an array element while PS0 is expanded: the subscript sets __veltro_running in this
    # shell, which a command substitution in PS0 (a subshell) could not do.
    __veltro_expansion=('')

    # Runs in a subshell while PS0 is expanded: the command line, when history recorded this
    # command (its number is at least the one the prompt expected), then the output's start.
    __veltro_command_started() {
        local entry line i escape
        entry=$(HISTTIMEFORMAT='' builtin history 1)
        if [[ -o history && $entry =~ ^\ *([0-9]+)\*?\ \ (.*)$ ]] &&
            ((BASH_REMATCH[1] >= ${__veltro_history_number:-0})); then
            line=${BASH_REMATCH[2]}
            escape='\'
            line=${line//\\/"$escape$escape"}
            escape='\x3b'
            line=${line//;/"$escape"}
            for i in "${!__veltro_controls[@]}"; do
                if [[ $line == *"${__veltro_controls[i]}"* ]]; then
                    printf -v escape '\\x%02x' "$i"
                    line=${line//"${__veltro_controls[i]}"/"$escape"}
                fi
            done
            printf '\e]633;E;%s\a' "$line"
        fi
        printf '\e]133;C\a'
    }

    # The working folder as a file URL, its bytes outside the unreserved set percent-encoded.
    __veltro_report_folder() {
        if [[ $PWD != "${__veltro_folder-}" ]]; then
            local LC_ALL=C encoded='' c i
            for ((i = 0; i < ${#PWD}; i++)); do
                c=${PWD:i:1}
                case $c in
                    [a-zA-Z0-9/._~-]) encoded+=$c ;;
                    *)
                        printf -v c '%%%02X' "'$c"
                        encoded+=$c
                        ;;
                esac
            done
            __veltro_folder=$PWD
            __veltro_encoded_folder=$encoded
        fi
        printf '\e]7;file://%s%s\a' "${HOSTNAME-}" "$__veltro_encoded_folder"
    }

    # Without our marks, as the user's own code set it.
    __veltro_unwrapped() {
        local text=$1
        text=${text//"$__veltro_prompt_start"/}
        text=${text//"$__veltro_prompt_end"/}
        text=${text//'${__veltro_expansion[__veltro_running=1,0]}$(__veltro_command_started)'/}
        printf '%s' "$text"
    }

    # First in PROMPT_COMMAND: reports the end of the command, and gives the user's prompt
    # command its own PS1 and PS0 and the command's exit status.
    __veltro_before_prompt() {
        local status=$?
        if [[ -n ${__veltro_running-} ]]; then
            printf '\e]133;D;%s\a' "$status"
            __veltro_running=
        fi
        __veltro_report_folder
        if [[ ${PS1-} == "${__veltro_ps1-}" ]]; then
            PS1=$__veltro_user_ps1
        elif [[ ${PS1-} == *'\e]133;'* ]]; then
            PS1=$(__veltro_unwrapped "$PS1")
        fi
        if [[ ${PS0-} == "${__veltro_ps0-}" ]]; then
            PS0=$__veltro_user_ps0
        elif [[ ${PS0-} == *__veltro_command_started* ]]; then
            PS0=$(__veltro_unwrapped "$PS0")
        fi
        return "$status"
    }

    # Last in PROMPT_COMMAND: puts the marks around whatever prompt the user's code left, and
    # leaves $? as that code left it, for the prompt's own expansions.
    __veltro_after_prompt() {
        local status=$?
        __veltro_history_number=$HISTCMD
        __veltro_user_ps1=${PS1-}
        __veltro_ps1=$__veltro_prompt_start${PS1-}$__veltro_prompt_end
        PS1=$__veltro_ps1
        __veltro_user_ps0=${PS0-}
        __veltro_ps0=${PS0-}'${__veltro_expansion[__veltro_running=1,0]}$(__veltro_command_started)'
        PS0=$__veltro_ps0
        return "$status"
    }

    # An array (bash 5.1) stays one, each command its own element; a string keeps the user's
    # commands as one piece between ours.
    if [[ ${PROMPT_COMMAND@a} == *a* ]]; then
        PROMPT_COMMAND=(__veltro_before_prompt "${PROMPT_COMMAND[@]}" __veltro_after_prompt)
    else
        PROMPT_COMMAND=__veltro_before_prompt$'\n'${PROMPT_COMMAND-}$'\n'__veltro_after_prompt
    fi
fi
