/*
 * Test capture devices: a GStreamer device provider offering one test camera and one
 * test microphone, so the whole road from device listing to live stream runs on a
 * machine without hardware.
 *
 * The plugin is built into <build>/media/testdevices/ and is found only through
 * GST_PLUGIN_PATH; it is installed nowhere else, so a user's machine never lists it.
 *
 * Camera ("Morlanex Test Camera", Video/Source): videotestsrc (colour bars scrolling sideways, live)
 * with a little noise that changes every frame, as a real sensor has, behind a caps filter that offers, in this order, I420 640x480, YUY2 320x240,
 * RGB 320x240, RGB 160x120, all at 30 fps. An unrestricted consumer gets the first. A band at
 * the bottom carries the capture's wall clock time as black and white cells (time_code.h), so
 * a viewer can measure the delay of every path from what it shows.
 *
 * Microphone ("Morlanex Test Microphone", Audio/Source): audiotestsrc (live sine)
 * with fixed 16-bit PCM formats. Its recording lines are listed in the device
 * properties ("morlanex.recording-lines"); their capture switches are the device's
 * "enabled-lines" bit mask, kept process-wide like a real mixer (only the second line
 * is on at load).
 *
 * Both devices have a "present" property, process-wide as well: clearing it unplugs
 * the device. An unplugged device is not listed, cannot create its element, and a
 * running element of it fails with a read error, as a pulled-out camera does.
 *
 * Threads: element creation on the caller's thread; the unplug check runs on the
 * source's streaming thread (atomic flags only).
 */
#include <gst/gst.h>
#include <gst/video/video.h>
#include <time.h>

#include "time_code.h"

#define PROVIDER_NAME "morlanextestdeviceprovider"

typedef enum { TEST_CAMERA = 0, TEST_MICROPHONE = 1 } TestKind;

/* Process-wide "hardware" state. */
static gint device_present[2] = {1, 1};
static guint microphone_enabled_lines = 0x2;

/* Adds sensor-like noise (a few levels either way, new every frame) to every byte of a picture.
 * Without it the synthetic bars cost an encoder almost nothing at a high rate while a low
 * rate can never reach its target, so no rendition would run at the rate it is set to. */
static GstPadProbeReturn noise_probe(GstPad *pad, GstPadProbeInfo *info, gpointer user_data) {
    (void)pad;
    (void)user_data;
    GstBuffer *buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READWRITE)) return GST_PAD_PROBE_OK;
    static guint32 state = 0x9E3779B9u; /* one streaming thread per camera; a race only mixes noise */
    guint32 x = state;
    for (gsize i = 0; i + 4 <= map.size; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (int k = 0; k < 4; ++k) {
            const int value = map.data[i + k] + (int)((x >> (8 * k)) & 31) - 15;
            map.data[i + k] = (guint8)(value < 0 ? 0 : value > 255 ? 255 : value);
        }
    }
    state = x;
    gst_buffer_unmap(buffer, &map);
    return GST_PAD_PROBE_OK;
}

/* Draws the time code over the bottom band, after the noise so that its cells stay clean. */
static void draw_time_code(GstPad *pad, GstBuffer *buffer) {
    GstCaps *caps = gst_pad_get_current_caps(pad);
    GstVideoInfo info;
    const gboolean known = caps && gst_video_info_from_caps(&info, caps);
    if (caps) gst_caps_unref(caps);
    GstVideoFrame frame;
    if (!known || !gst_video_frame_map(&frame, &info, buffer, GST_MAP_READWRITE)) return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const guint32 code =
        (guint32)((guint64)now.tv_sec * 1000u + (guint64)now.tv_nsec / 1000000u) & MORLANEX_TIME_CODE_MASK;
    const int width = GST_VIDEO_INFO_WIDTH(&info), height = GST_VIDEO_INFO_HEIGHT(&info);
    const gboolean yuv = GST_VIDEO_INFO_IS_YUV(&info);
    for (guint c = 0; c < GST_VIDEO_INFO_N_COMPONENTS(&info); ++c) {
        const int cw = GST_VIDEO_FRAME_COMP_WIDTH(&frame, c), ch = GST_VIDEO_FRAME_COMP_HEIGHT(&frame, c);
        const int pstride = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, c), stride = GST_VIDEO_FRAME_COMP_STRIDE(&frame, c);
        guint8 *data = GST_VIDEO_FRAME_COMP_DATA(&frame, c);
        const int top = (int)((gint64)morlanex_time_code_top(height) * ch / height);
        for (int cx = 0; cx < cw; ++cx) {
            const int bit = (int)((gint64)cx * width / cw * MORLANEX_TIME_CODE_BITS / width);
            const gboolean one = (code >> (MORLANEX_TIME_CODE_BITS - 1 - bit)) & 1u;
            const guint8 value = yuv ? (c == 0 ? (one ? 235 : 16) : 128) : (one ? 255 : 0);
            for (int cy = top; cy < ch; ++cy) data[(gsize)cy * stride + (gsize)cx * pstride] = value;
        }
    }
    gst_video_frame_unmap(&frame);
}

static GstPadProbeReturn camera_probe(GstPad *pad, GstPadProbeInfo *info, gpointer user_data) {
    noise_probe(pad, info, user_data);
    draw_time_code(pad, GST_PAD_PROBE_INFO_BUFFER(info));
    return GST_PAD_PROBE_OK;
}

/* ---------------------------------------------------------------- device */

typedef struct {
    GstDevice parent;
    TestKind kind;
} MorlanexTestDevice;

typedef struct {
    GstDeviceClass parent_class;
} MorlanexTestDeviceClass;

GType morlanex_test_device_get_type(void);
G_DEFINE_TYPE(MorlanexTestDevice, morlanex_test_device, GST_TYPE_DEVICE)

enum { PROP_0, PROP_KIND, PROP_PRESENT, PROP_ENABLED_LINES };

static GstPadProbeReturn unplug_probe(GstPad *pad, GstPadProbeInfo *info, gpointer user_data) {
    TestKind kind = (TestKind)GPOINTER_TO_INT(user_data);
    if (g_atomic_int_get(&device_present[kind])) return GST_PAD_PROBE_OK;
    GstElement *src = gst_pad_get_parent_element(pad);
    if (src) {
        GST_ELEMENT_ERROR(src, RESOURCE, READ, ("The capture device was removed."), ("test device unplugged"));
        gst_object_unref(src);
    }
    /* Fail the push so the source stops like a real one whose device is gone. */
    gst_buffer_unref(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_DATA(info) = NULL;
    GST_PAD_PROBE_INFO_FLOW_RETURN(info) = GST_FLOW_ERROR;
    return GST_PAD_PROBE_HANDLED;
}

static GstCaps *camera_caps(void) {
    return gst_caps_from_string("video/x-raw,format=I420,width=640,height=480,framerate=30/1,pixel-aspect-ratio=1/1;"
                                "video/x-raw,format=YUY2,width=320,height=240,framerate=30/1,pixel-aspect-ratio=1/1;"
                                "video/x-raw,format=RGB,width=320,height=240,framerate=30/1,pixel-aspect-ratio=1/1;"
                                "video/x-raw,format=RGB,width=160,height=120,framerate=30/1,pixel-aspect-ratio=1/1");
}

static GstCaps *microphone_caps(void) {
    return gst_caps_from_string("audio/x-raw,format=S16LE,layout=interleaved,rate=44100,channels=2;"
                                "audio/x-raw,format=S16LE,layout=interleaved,rate=22050,channels=2;"
                                "audio/x-raw,format=S16LE,layout=interleaved,rate=22050,channels=1;"
                                "audio/x-raw,format=S16LE,layout=interleaved,rate=8000,channels=1");
}

static GstElement *morlanex_test_device_create_element(GstDevice *device, const gchar *name) {
    MorlanexTestDevice *self = (MorlanexTestDevice *)device;
    if (!g_atomic_int_get(&device_present[self->kind])) return NULL;

    GstElement *bin = gst_bin_new(name);
    GstElement *src;
    if (self->kind == TEST_CAMERA) {
        src = gst_element_factory_make("videotestsrc", NULL);
        if (src) g_object_set(src, "is-live", TRUE, "pattern", 19 /* full colour bars */, "horizontal-speed", 2, NULL);
    } else {
        src = gst_element_factory_make("audiotestsrc", NULL);
        if (src) g_object_set(src, "is-live", TRUE, "wave", 0 /* sine */, "volume", 0.3, NULL);
    }
    GstElement *filter = gst_element_factory_make("capsfilter", NULL);
    if (!src || !filter) {
        if (src) gst_object_unref(src);
        if (filter) gst_object_unref(filter);
        gst_object_unref(bin);
        return NULL;
    }
    GstCaps *caps = gst_device_get_caps(device);
    g_object_set(filter, "caps", caps, NULL);
    gst_caps_unref(caps);
    gst_bin_add_many(GST_BIN(bin), src, filter, NULL);
    gst_element_link(src, filter);

    GstPad *srcpad = gst_element_get_static_pad(src, "src");
    gst_pad_add_probe(srcpad, GST_PAD_PROBE_TYPE_BUFFER, unplug_probe, GINT_TO_POINTER(self->kind), NULL);
    gst_object_unref(srcpad);

    GstPad *target = gst_element_get_static_pad(filter, "src");
    if (self->kind == TEST_CAMERA) gst_pad_add_probe(target, GST_PAD_PROBE_TYPE_BUFFER, camera_probe, NULL, NULL);
    gst_element_add_pad(bin, gst_ghost_pad_new("src", target));
    gst_object_unref(target);
    return bin;
}

static void morlanex_test_device_set_property(GObject *object, guint prop_id, const GValue *value, GParamSpec *pspec) {
    MorlanexTestDevice *self = (MorlanexTestDevice *)object;
    switch (prop_id) {
    case PROP_KIND:
        self->kind = g_value_get_int(value) == TEST_MICROPHONE ? TEST_MICROPHONE : TEST_CAMERA;
        break;
    case PROP_PRESENT:
        g_atomic_int_set(&device_present[self->kind], g_value_get_boolean(value) ? 1 : 0);
        break;
    case PROP_ENABLED_LINES:
        if (self->kind == TEST_MICROPHONE)
            g_atomic_int_set((gint *)&microphone_enabled_lines, (gint)(g_value_get_uint(value) & 0x3));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    }
}

static void morlanex_test_device_get_property(GObject *object, guint prop_id, GValue *value, GParamSpec *pspec) {
    MorlanexTestDevice *self = (MorlanexTestDevice *)object;
    switch (prop_id) {
    case PROP_KIND:
        g_value_set_int(value, self->kind);
        break;
    case PROP_PRESENT:
        g_value_set_boolean(value, g_atomic_int_get(&device_present[self->kind]) != 0);
        break;
    case PROP_ENABLED_LINES:
        g_value_set_uint(
            value, self->kind == TEST_MICROPHONE ? (guint)g_atomic_int_get((gint *)&microphone_enabled_lines) : 0u);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
    }
}

static void morlanex_test_device_class_init(MorlanexTestDeviceClass *klass) {
    GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
    GstDeviceClass *device_class = GST_DEVICE_CLASS(klass);
    gobject_class->set_property = morlanex_test_device_set_property;
    gobject_class->get_property = morlanex_test_device_get_property;
    device_class->create_element = morlanex_test_device_create_element;

    g_object_class_install_property(
        gobject_class, PROP_KIND,
        g_param_spec_int("kind", "Kind", "0 camera, 1 microphone", 0, 1, 0,
                         G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(gobject_class, PROP_PRESENT,
                                    g_param_spec_boolean("present", "Present", "Whether the device is plugged in", TRUE,
                                                         G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
    g_object_class_install_property(gobject_class, PROP_ENABLED_LINES,
                                    g_param_spec_uint("enabled-lines", "Enabled lines",
                                                      "Capture switches of the recording lines, bit n = line n", 0, 3,
                                                      0x2, G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS));
}

static void morlanex_test_device_init(MorlanexTestDevice *self) { self->kind = TEST_CAMERA; }

static GstDevice *make_device(TestKind kind) {
    GstCaps *caps = kind == TEST_CAMERA ? camera_caps() : microphone_caps();
    GstStructure *props = gst_structure_new(
        "morlanex-test-device-properties", "device.api", G_TYPE_STRING, "morlanex-test", "device.path", G_TYPE_STRING,
        kind == TEST_CAMERA ? "/dev/morlanex-test-camera" : "/dev/morlanex-test-microphone", NULL);
    if (kind == TEST_MICROPHONE) {
        GValue lines = G_VALUE_INIT, item = G_VALUE_INIT;
        g_value_init(&lines, GST_TYPE_ARRAY);
        g_value_init(&item, G_TYPE_STRING);
        g_value_set_string(&item, "Line In");
        gst_value_array_append_value(&lines, &item);
        g_value_set_string(&item, "Microphone");
        gst_value_array_append_value(&lines, &item);
        gst_structure_take_value(props, "morlanex.recording-lines", &lines);
        g_value_unset(&item);
    }
    GstDevice *device = g_object_new(morlanex_test_device_get_type(), "display-name",
                                     kind == TEST_CAMERA ? "Morlanex Test Camera" : "Morlanex Test Microphone",
                                     "device-class", kind == TEST_CAMERA ? "Video/Source" : "Audio/Source", "caps",
                                     caps, "properties", props, "kind", (gint)kind, NULL);
    gst_caps_unref(caps);
    gst_structure_free(props);
    return device;
}

/* -------------------------------------------------------------- provider */

typedef struct {
    GstDeviceProvider parent;
} MorlanexTestProvider;

typedef struct {
    GstDeviceProviderClass parent_class;
} MorlanexTestProviderClass;

GType morlanex_test_provider_get_type(void);
G_DEFINE_TYPE(MorlanexTestProvider, morlanex_test_provider, GST_TYPE_DEVICE_PROVIDER)

static GList *morlanex_test_provider_probe(GstDeviceProvider *provider) {
    (void)provider;
    GList *devices = NULL;
    if (g_atomic_int_get(&device_present[TEST_CAMERA]))
        devices = g_list_append(devices, gst_object_ref_sink(make_device(TEST_CAMERA)));
    if (g_atomic_int_get(&device_present[TEST_MICROPHONE]))
        devices = g_list_append(devices, gst_object_ref_sink(make_device(TEST_MICROPHONE)));
    return devices;
}

static void morlanex_test_provider_class_init(MorlanexTestProviderClass *klass) {
    GstDeviceProviderClass *provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
    provider_class->probe = morlanex_test_provider_probe;
    gst_device_provider_class_set_static_metadata(provider_class, "Morlanex test devices", "Source/Video/Audio",
                                                  "Lists a test camera and a test microphone", "Morlanex developers");
}

static void morlanex_test_provider_init(MorlanexTestProvider *self) { (void)self; }

static gboolean plugin_init(GstPlugin *plugin) {
    return gst_device_provider_register(plugin, PROVIDER_NAME, GST_RANK_PRIMARY, morlanex_test_provider_get_type());
}

#define PACKAGE "morlanex"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, morlanextestdevices, "Test capture devices for Morlanex",
                  plugin_init, "1.1.0.2", "LGPL", "Morlanex", "https://localhost/")
