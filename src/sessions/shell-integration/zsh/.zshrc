# Read in place of the user's .zshrc; see .zshenv.

if [[ -n $__veltro_user_zdotdir_set ]]; then
    ZDOTDIR=$__veltro_user_zdotdir
else
    unset ZDOTDIR
fi

[[ -r "${ZDOTDIR:-$HOME}/.zshrc" ]] && source "${ZDOTDIR:-$HOME}/.zshrc"

# A login shell reads .zlogin next, unless the user's file stopped zsh reading start-up files.
if [[ -o login && -o rcs ]]; then
    __veltro_user_zdotdir=${ZDOTDIR-} __veltro_user_zdotdir_set=${ZDOTDIR+1}
    ZDOTDIR=$__veltro_zdotdir
else
    source "$__veltro_zdotdir/veltro.zsh"
    unset __veltro_zdotdir __veltro_user_zdotdir __veltro_user_zdotdir_set
fi
