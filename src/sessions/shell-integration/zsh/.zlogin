# Read in place of the user's .zlogin, the last start-up file of a login shell; see .zshenv.

if [[ -n $__veltro_user_zdotdir_set ]]; then
    ZDOTDIR=$__veltro_user_zdotdir
else
    unset ZDOTDIR
fi

[[ -r "${ZDOTDIR:-$HOME}/.zlogin" ]] && source "${ZDOTDIR:-$HOME}/.zlogin"

[[ -o interactive ]] && source "$__veltro_zdotdir/veltro.zsh"
unset __veltro_zdotdir __veltro_user_zdotdir __veltro_user_zdotdir_set
