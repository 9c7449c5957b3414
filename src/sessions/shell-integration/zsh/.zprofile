# Read in place of the user's .zprofile; see .zshenv.

if [[ -n $__veltro_user_zdotdir_set ]]; then
    ZDOTDIR=$__veltro_user_zdotdir
else
    unset ZDOTDIR
fi

[[ -r "${ZDOTDIR:-$HOME}/.zprofile" ]] && source "${ZDOTDIR:-$HOME}/.zprofile"

# .zlogin comes next, unless the user's file stopped zsh reading start-up files.
if [[ -o rcs ]]; then
    __veltro_user_zdotdir=${ZDOTDIR-} __veltro_user_zdotdir_set=${ZDOTDIR+1}
    ZDOTDIR=$__veltro_zdotdir
else
    [[ -o interactive ]] && source "$__veltro_zdotdir/veltro.zsh"
    unset __veltro_zdotdir __veltro_user_zdotdir __veltro_user_zdotdir_set
fi
