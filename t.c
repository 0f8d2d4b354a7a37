#include <gio/gio.h>
#include <stdio.h>
int main(int c, char**v){ GError*e=NULL; gint64 t=g_get_monotonic_time();
 gchar** p=g_proxy_resolver_lookup(g_proxy_resolver_get_default(), v[1], NULL, &e);
 printf("%.2f s: %s %s\n",(g_get_monotonic_time()-t)/1e6, p&&p[0]?p[0]:"(none)", e?e->message:""); return 0;}
