// A loopback RTSP server for the tests: serves one H.264 file (MP4/MKV/MOV) at its own pace
// as rtsp://127.0.0.1:PORT/clip, optionally behind a user name and password.
//
//   rtsp-test-server FILE [PORT [USER PASSWORD]]
//
// PORT 0 (the default) lets the system pick one. The chosen port is printed as "port N" on
// standard output once the server listens. Every client gets the file from its start; at the
// file's end the stream ends. Runs until SIGTERM or SIGINT.
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
gboolean on_signal(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}

// The file goes out as it is (no re-encoding), so every client sees the same frames.
std::string launch_line(const char *file) {
    gchar *quoted = g_strescape(file, nullptr);
    std::string line = std::string("( filesrc location=\"") + quoted +
                       "\" ! parsebin ! h264parse config-interval=-1 ! rtph264pay name=pay0 "
                       "pt=96 )";
    g_free(quoted);
    return line;
}

void require_login(GstRTSPServer *server, GstRTSPMediaFactory *factory, const char *user,
                   const char *password) {
    GstRTSPAuth *auth = gst_rtsp_auth_new();
    GstRTSPToken *token =
        gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "user", nullptr);
    gchar *basic = gst_rtsp_auth_make_basic(user, password);
    gst_rtsp_auth_add_basic(auth, basic, token);
    g_free(basic);
    gst_rtsp_token_unref(token);
    gst_rtsp_server_set_auth(server, auth);
    g_object_unref(auth);
    gst_rtsp_media_factory_add_role(factory, "user", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS,
                                    G_TYPE_BOOLEAN, TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT,
                                    G_TYPE_BOOLEAN, TRUE, nullptr);
}
}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    if (argc != 2 && argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: %s FILE [PORT [USER PASSWORD]]\n", argv[0]);
        return 2;
    }
    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    GstRTSPServer *server = gst_rtsp_server_new();
    g_object_set(server, "address", "127.0.0.1", "service", argc >= 3 ? argv[2] : "0", nullptr);
    GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch_line(argv[1]).c_str());
    if (argc == 5) require_login(server, factory, argv[3], argv[4]);
    GstRTSPMountPoints *mounts = gst_rtsp_server_get_mount_points(server);
    gst_rtsp_mount_points_add_factory(mounts, "/clip", factory);
    g_object_unref(mounts);
    if (gst_rtsp_server_attach(server, nullptr) == 0) {
        std::fprintf(stderr, "rtsp-test-server: cannot listen on port %s\n",
                     argc >= 3 ? argv[2] : "0");
        return 1;
    }
    std::printf("port %d\n", gst_rtsp_server_get_bound_port(server));
    std::fflush(stdout);
    g_unix_signal_add(SIGTERM, on_signal, loop);
    g_unix_signal_add(SIGINT, on_signal, loop);
    g_main_loop_run(loop);
    g_object_unref(server);
    g_main_loop_unref(loop);
    return 0;
}
