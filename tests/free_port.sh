# Sourced by test scripts: free_port prints a loopback port nobody listens on, below
# the ephemeral range (so no outgoing connection takes it meanwhile).
free_port() {
  local port
  for _ in $(seq 1 100); do
    port=$((20000 + RANDOM % 12000))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return 0; }
  done
  return 1
}
