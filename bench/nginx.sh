# Sourced by the benchmarks: picks a free port of 127.0.0.1 as $port and writes
# $work/nginx.conf, which serves $work/www there (sendfile; no access log
# unless $nginx_access_log names one, whose lines then begin with the time in
# seconds at which each answer was sent in full and end with the seconds it
# took from the request's first byte). The caller starts nginx with
# it, stops it and removes $work.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 64; }
http {
  log_format sent '\$msec \$status \$body_bytes_sent \$request_uri \$request_time';
  access_log ${nginx_access_log:-off}${nginx_access_log:+ sent};
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $work/tmp/body;
  proxy_temp_path $work/tmp/proxy;
  fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi;
  scgi_temp_path $work/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
EOF
