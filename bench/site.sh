# Sourced by the benchmarks: a throwaway gateway configuration.
# make_site DIR PORT [extra "Key value" lines...] -> DIR/portico.conf, user bench:bench
make_site() {
  local dir="$1" port="$2"
  shift 2
  mkdir -p "$dir/aliases" "$dir/auth" "$dir/logs" "$dir/shared"
  printf 'users:\n  bench: {password: "%s", aliases: "*"}\n' "$(openssl passwd -6 -salt benchsalt bench)" \
    > "$dir/auth/users.yaml"
  {
    printf '%s\n' "ListenAddress 127.0.0.1" "ListenPort $port" "AuthDir $dir/auth" "AliasDir $dir/aliases" \
      "SharedDir $dir/shared" "LogDir $dir/logs" "PidFile $dir/portico.pid" "Container 0" \
      "AuthReload 0" "AliasReload 0"
    printf '%s\n' "$@"
  } > "$dir/portico.conf"
}
