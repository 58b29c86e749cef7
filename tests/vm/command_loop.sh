# A guest's side of the host's commands, sourced by its first process (or
# agent): runs cmd-N from the shared folder $share with bash, its output to
# out-N and its status to rc-N, one at a time, until the host puts halt
# there; then powers the guest off.
n=1
while :; do
    if [ -f "$share/cmd-$n" ]; then
        bash "$share/cmd-$n" >"$share/out-$n" 2>&1
        echo $? >"$share/rc-$n.tmp" && mv "$share/rc-$n.tmp" "$share/rc-$n"
        n=$((n + 1))
    elif [ -f "$share/halt" ]; then
        break
    else
        sleep 0.05
    fi
done
sync
echo o >/proc/sysrq-trigger
