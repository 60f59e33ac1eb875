#!/usr/bin/env bash
# A Redis Cluster of masters with one replica each on loopback ports, for the benchmarks.
#   loopback_cluster.sh start DIR [FIRST_PORT] [MASTERS]   2 x MASTERS nodes (default 3 masters) on
#                                                          FIRST_PORT.. (default 7101), data in DIR
#   loopback_cluster.sh stop DIR
# Prints the seed list that --redis takes.
set -euo pipefail
command=${1:?start or stop}
dir=${2:?a folder for the nodes}
first=${3:-7101}
nodes=$((2 * ${4:-3}))

case $command in
start)
    mkdir -p "$dir"
    ports=()
    for ((i = 0; i < nodes; i++)); do
        port=$((first + i))
        ports+=("127.0.0.1:$port")
        # A fresh node: one started on an earlier run's cluster file would rejoin that cluster,
        # which `--cluster create` then refuses, and the old cluster answers CLUSTERDOWN.
        rm -rf "${dir:?}/$port"
        mkdir -p "$dir/$port"
        redis-server --port "$port" --bind 127.0.0.1 --dir "$dir/$port" --daemonize yes \
            --pidfile "$dir/$port/redis.pid" --logfile "$dir/$port/redis.log" \
            --cluster-enabled yes --cluster-config-file nodes.conf --cluster-node-timeout 2000 \
            --appendonly no --save ''
    done
    for ((i = 0; i < nodes; i++)); do
        until redis-cli -p $((first + i)) ping >/dev/null 2>&1; do sleep 0.1; done
    done
    redis-cli --cluster create "${ports[@]}" --cluster-replicas 1 --cluster-yes >"$dir/create.log"
    # Every node, not only the first: a node that has not yet learnt the slots answers CLUSTERDOWN.
    for ((i = 0; i < nodes; i++)); do
        until redis-cli -p $((first + i)) cluster info | grep -q 'cluster_state:ok'; do sleep 0.2; done
    done
    (IFS=,; echo "${ports[*]}")
    ;;
stop)
    for pidfile in "$dir"/*/redis.pid; do
        [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null || true
    done
    ;;
*)
    echo "usage: $0 start|stop DIR [FIRST_PORT] [MASTERS]" >&2
    exit 2
    ;;
esac
