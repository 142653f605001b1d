/* Reads frames from a PipeWire node through an already connected descriptor
 * (the one the ScreenCast portal hands out) and prints, as one JSON object,
 * what the producer negotiated and what came with each buffer: header, crop
 * region and cursor metadata. Only the test harness uses it, to show what a
 * real screencast carries.
 *
 *   pipewire_frame_probe FD NODE FRAMES SECONDS
 *
 * Stops after FRAMES buffers with video data, after SECONDS, or when the
 * stream ends; the exit status is 0 when it read FRAMES buffers.
 */
#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <stdio.h>
#include <stdlib.h>

#define CURSOR_META_SIZE(w, h) \
  (sizeof(struct spa_meta_cursor) + sizeof(struct spa_meta_bitmap) + (size_t)(w) * (h) * 4)

struct probe {
  struct pw_main_loop *loop;
  struct pw_stream *stream;
  struct spa_hook listener;
  struct spa_video_info_raw format;
  int want, frames, cursor_updates, first;
  const char *ended;
};

static void print_frame(struct probe *p, struct spa_buffer *b) {
  struct spa_meta_header *h = spa_buffer_find_meta_data(b, SPA_META_Header, sizeof *h);
  struct spa_meta_region *crop = spa_buffer_find_meta_data(b, SPA_META_VideoCrop, sizeof *crop);
  struct spa_meta_cursor *cur = spa_buffer_find_meta_data(b, SPA_META_Cursor, sizeof *cur);
  struct spa_data *d = &b->datas[0];
  printf("%s{\"size\":%u,\"stride\":%d,\"type\":\"%s\"", p->first ? "" : ",", d->chunk->size, d->chunk->stride,
         spa_debug_type_find_short_name(spa_type_data_type, d->type));
  p->first = 0;
  if (h) printf(",\"seq\":%llu,\"pts\":%lld,\"flags\":%u", (unsigned long long)h->seq, (long long)h->pts, h->flags);
  if (crop && spa_meta_region_is_valid(crop))
    printf(",\"crop\":[%d,%d,%u,%u]", crop->region.position.x, crop->region.position.y, crop->region.size.width,
           crop->region.size.height);
  if (cur && spa_meta_cursor_is_valid(cur)) {
    p->cursor_updates++;
    printf(",\"cursor\":{\"id\":%u,\"x\":%d,\"y\":%d,\"hotspot\":[%d,%d]", cur->id, cur->position.x, cur->position.y,
           cur->hotspot.x, cur->hotspot.y);
    if (cur->bitmap_offset >= sizeof *cur) {
      struct spa_meta_bitmap *bm = SPA_PTROFF(cur, cur->bitmap_offset, struct spa_meta_bitmap);
      printf(",\"bitmap\":[%u,%u,\"%s\"]", bm->size.width, bm->size.height,
             spa_debug_type_find_short_name(spa_type_video_format, bm->format));
    }
    printf("}");
  }
  printf("}");
}

static void on_process(void *data) {
  struct probe *p = data;
  struct pw_buffer *buf = pw_stream_dequeue_buffer(p->stream);
  if (!buf) return;
  struct spa_buffer *b = buf->buffer;
  if (p->frames < p->want * 4) print_frame(p, b);  /* cursor-only buffers come in between */
  if (b->datas[0].chunk->size > 0 && p->frames++ == 0) {
    /* Lets a caller change the scene knowing the first frame came before. */
    fprintf(stderr, "first frame\n");
  }
  pw_stream_queue_buffer(p->stream, buf);
  if (p->frames >= p->want) {
    p->ended = "enough";
    pw_main_loop_quit(p->loop);
  }
}

static void on_param_changed(void *data, uint32_t id, const struct spa_pod *param) {
  struct probe *p = data;
  if (!param || id != SPA_PARAM_Format) return;
  if (spa_format_video_raw_parse(param, &p->format) < 0) return;
  uint8_t storage[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const struct spa_pod *params[4];
  params[0] = spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(8, 2, 16),
      SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr)));
  params[1] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                         SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                         SPA_POD_Int(sizeof(struct spa_meta_header)));
  params[2] = spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                         SPA_POD_Id(SPA_META_VideoCrop), SPA_PARAM_META_size,
                                         SPA_POD_Int(sizeof(struct spa_meta_region)));
  params[3] = spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Cursor),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(CURSOR_META_SIZE(64, 64), CURSOR_META_SIZE(1, 1), CURSOR_META_SIZE(384, 384)));
  pw_stream_update_params(p->stream, params, 4);
}

static void on_state_changed(void *data, enum pw_stream_state old, enum pw_stream_state state, const char *error) {
  struct probe *p = data;
  (void)error;
  /* Streaming that falls back to paused or unconnected means the producer went away. */
  if (old == PW_STREAM_STATE_STREAMING && state != PW_STREAM_STATE_STREAMING) {
    p->ended = "stream ended";
    pw_main_loop_quit(p->loop);
  } else if (state == PW_STREAM_STATE_ERROR) {
    p->ended = "stream error";
    pw_main_loop_quit(p->loop);
  }
}

static const struct pw_stream_events events = {
    PW_VERSION_STREAM_EVENTS,
    .state_changed = on_state_changed,
    .param_changed = on_param_changed,
    .process = on_process,
};

static void on_timeout(void *data, uint64_t expirations) {
  struct probe *p = data;
  (void)expirations;
  p->ended = "timeout";
  pw_main_loop_quit(p->loop);
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s FD NODE FRAMES SECONDS\n", argv[0]);
    return 2;
  }
  struct probe p = {.want = atoi(argv[3]), .first = 1, .ended = "?"};
  pw_init(&argc, &argv);
  p.loop = pw_main_loop_new(NULL);
  struct pw_context *context = pw_context_new(pw_main_loop_get_loop(p.loop), NULL, 0);
  struct pw_core *core = pw_context_connect_fd(context, atoi(argv[1]), NULL, 0);
  if (!core) {
    fprintf(stderr, "cannot connect to PipeWire through descriptor %s\n", argv[1]);
    return 1;
  }
  p.stream = pw_stream_new(core, "moxi-frame-probe",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", NULL));
  pw_stream_add_listener(p.stream, &p.listener, &events, &p);

  uint8_t storage[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const struct spa_pod *params[1];
  params[0] = spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size,
      SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1280, 720), &SPA_RECTANGLE(1, 1), &SPA_RECTANGLE(8192, 8192)),
      SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(0, 1), &SPA_FRACTION(0, 1), &SPA_FRACTION(1000, 1)));
  printf("{\"buffers\":[");
  fflush(stdout);
  if (pw_stream_connect(p.stream, PW_DIRECTION_INPUT, (uint32_t)atoi(argv[2]),
                        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS, params, 1) < 0) {
    fprintf(stderr, "cannot connect the stream to node %s\n", argv[2]);
    return 1;
  }
  struct spa_source *timer = pw_loop_add_timer(pw_main_loop_get_loop(p.loop), on_timeout, &p);
  struct timespec timeout = {.tv_sec = atoi(argv[4])};
  pw_loop_update_timer(pw_main_loop_get_loop(p.loop), timer, &timeout, NULL, false);
  pw_main_loop_run(p.loop);
  printf("],\"format\":\"%s\",\"width\":%u,\"height\":%u,\"frames\":%d,\"cursor_updates\":%d,\"ended\":\"%s\"}\n",
         spa_debug_type_find_short_name(spa_type_video_format, p.format.format), p.format.size.width,
         p.format.size.height, p.frames, p.cursor_updates, p.ended);
  pw_stream_destroy(p.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(p.loop);
  pw_deinit();
  return p.frames >= p.want ? 0 : 1;
}
