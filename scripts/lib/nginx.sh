# A private nginx, as the demo and the benchmark serve from: its configuration, pid, logs and temporary files in one
# folder, started and stopped by the caller (never the system's service). Sourced (bash), not run.

# nginx_start DIR HTTP: writes DIR/nginx.conf, whose http block holds the lines HTTP besides the temporary-file paths,
# and starts nginx. It listens once this returns: nginx binds before it detaches.
nginx_start() {
    local dir=$1
    mkdir -p "$dir/tmp"
    cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
$2
}
CONF
    /usr/sbin/nginx -e "$dir/error.log" -p "$dir" -c "$dir/nginx.conf"
}

# nginx_stop DIR: stops the nginx that nginx_start started there, by the id it recorded, and waits (5 s at most).
nginx_stop() {
    local pid
    pid=$(cat "$1/nginx.pid" 2>/dev/null) || return 0
    # Only the nginx started here: the id may have been reused since.
    if [ -n "$pid" ] && grep -qa nginx "/proc/$pid/cmdline" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
}
