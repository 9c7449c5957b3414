# Veltro shell integration for zsh. The agent points ZDOTDIR at this folder, so zsh reads these
# files in place of the user's; each reads the user's own file of the same name, with ZDOTDIR as
# the user would have it, then points zsh back here for the next one. The last file zsh reads
# leaves ZDOTDIR as the user's files set it and adds the reports (veltro.zsh).
# VELTRO_ORIGINAL_ZDOTDIR holds the ZDOTDIR the shell was given (absent: it had none);
# VELTRO_ZSH_STARTUP=none asks for a shell that reads no start-up files of the user's.

typeset -g __veltro_zdotdir=$ZDOTDIR
if (( ${+VELTRO_ORIGINAL_ZDOTDIR} )); then
    export ZDOTDIR=$VELTRO_ORIGINAL_ZDOTDIR
    unset VELTRO_ORIGINAL_ZDOTDIR
else
    unset ZDOTDIR
fi

if [[ ${VELTRO_ZSH_STARTUP-} == none ]]; then
    unset VELTRO_ZSH_STARTUP
    source "$__veltro_zdotdir/veltro.zsh"
    unset __veltro_zdotdir
    # As zsh -f would: /etc/zsh/zshenv has been read, nothing after it is.
    setopt no_rcs
    return 0
fi

[[ -r "${ZDOTDIR:-$HOME}/.zshenv" ]] && source "${ZDOTDIR:-$HOME}/.zshenv"

if [[ -o rcs ]] && [[ -o login || -o interactive ]]; then
    typeset -g __veltro_user_zdotdir=${ZDOTDIR-} __veltro_user_zdotdir_set=${ZDOTDIR+1}
    ZDOTDIR=$__veltro_zdotdir
else
    [[ -o interactive ]] && source "$__veltro_zdotdir/veltro.zsh"
    unset __veltro_zdotdir
fi
