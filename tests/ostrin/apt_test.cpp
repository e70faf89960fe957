// Text streams, directory layout, tasks and the host log.
#include <ostrin/apt_dir_layout.h>
#include <ostrin/apt_log.h>
#include <ostrin/apt_task.h>
#include <ostrin/apt_text_stream.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ostrin_test_pool.h"

namespace {

std::string Str(const apt_str_t& s) {
    return std::string(s.buf ? s.buf : "", s.length);
}

std::vector<std::string> Lines(std::string text) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, text.data(), text.size());
    std::vector<std::string> lines;
    apt_str_t line;
    while (apt_text_line_read(&stream, &line)) {
        lines.push_back(Str(line));
    }
    EXPECT_TRUE(apt_text_is_eos(&stream));
    return lines;
}

std::vector<std::string> Fields(std::string text, char separator, apt_bool_t skip_spaces) {
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, text.data(), text.size());
    std::vector<std::string> fields;
    apt_str_t field;
    while (apt_text_field_read(&stream, separator, skip_spaces, &field)) {
        fields.push_back(Str(field));
    }
    return fields;
}

using V = std::vector<std::string>;

TEST(TextStream, LinesEndWithCrLfLfOrTheEnd) {
    EXPECT_EQ(Lines(""), V{});
    EXPECT_EQ(Lines("a"), V{"a"});
    EXPECT_EQ(Lines("a\n"), V{"a"});
    EXPECT_EQ(Lines("a\r\nb\nc"), (V{"a", "b", "c"}));
    EXPECT_EQ(Lines("\n\r\n\nx"), (V{"", "", "", "x"}));
    EXPECT_EQ(Lines("a\rb\n"), V{"a\rb"});  // a lone CR is text
    EXPECT_EQ(Lines("a\r"), V{"a\r"});
}

TEST(TextStream, FieldsSplitOnTheSeparator) {
    EXPECT_EQ(Fields("builtin:speech/transcribe", ':', FALSE), (V{"builtin", "speech/transcribe"}));
    EXPECT_EQ(Fields("a;;b;", ';', FALSE), (V{"a", "", "b"}));
    EXPECT_EQ(Fields("  a; \tb", ';', TRUE), (V{"a", "b"}));
    EXPECT_EQ(Fields("  a; \tb", ';', FALSE), (V{"  a", " \tb"}));
    EXPECT_EQ(Fields("", ';', TRUE), V{});
    EXPECT_EQ(Fields("   ", ';', TRUE), V{""});

    // Lines and fields combine: a field read never runs past the line it came from.
    std::string text = "k1=v1\r\nk2=v2";
    apt_text_stream_t stream;
    apt_text_stream_init(&stream, text.data(), text.size());
    apt_str_t line;
    ASSERT_TRUE(apt_text_line_read(&stream, &line));
    apt_text_stream_t line_stream;
    apt_text_stream_init(&line_stream, line.buf, line.length);
    apt_str_t name, value;
    ASSERT_TRUE(apt_text_field_read(&line_stream, '=', TRUE, &name));
    ASSERT_TRUE(apt_text_field_read(&line_stream, '=', TRUE, &value));
    EXPECT_EQ(Str(name), "k1");
    EXPECT_EQ(Str(value), "v1");
    EXPECT_FALSE(apt_text_field_read(&line_stream, '=', TRUE, &value));
}

using DirLayoutTest = PoolTest;

TEST_F(DirLayoutTest, LookUpsGiveNullWhereNotSet) {
    apt_dir_layout_t* layout = apt_dir_layout_create(pool_);
    EXPECT_EQ(apt_confdir_filepath_get(layout, "osrzeph.xml", pool_), nullptr);
    EXPECT_EQ(apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR, pool_), nullptr);
    ASSERT_TRUE(apt_dir_layout_path_set(layout, APT_LAYOUT_CONF_DIR, "/opt/ostrin/conf", pool_));
    ASSERT_TRUE(apt_dir_layout_path_set(layout, APT_LAYOUT_VAR_DIR, "/opt/ostrin/var/", pool_));
    EXPECT_FALSE(apt_dir_layout_path_set(layout, APT_LAYOUT_DIR_COUNT, "/x", pool_));
    EXPECT_STREQ(apt_confdir_filepath_get(layout, "osrzeph.xml", pool_),
                 "/opt/ostrin/conf/osrzeph.xml");
    EXPECT_STREQ(apt_vardir_filepath_get(layout, "status", pool_), "/opt/ostrin/var/status");
    EXPECT_STREQ(apt_dir_layout_path_get(layout, APT_LAYOUT_VAR_DIR, pool_), "/opt/ostrin/var/");
    EXPECT_EQ(apt_dir_layout_path_get(layout, APT_LAYOUT_DATA_DIR, pool_), nullptr);
    EXPECT_EQ(apt_confdir_filepath_get(layout, "", pool_), nullptr);
    EXPECT_STREQ(apt_confdir_filepath_get(layout, "/etc/abs.xml", pool_), "/etc/abs.xml");

    apt_dir_layout_t* defaults = apt_dir_layout_defaults_create("/srv", pool_);
    EXPECT_STREQ(apt_dir_layout_path_get(defaults, APT_LAYOUT_DATA_DIR, pool_), "/srv/data");
    EXPECT_STREQ(apt_dir_layout_path_get(defaults, APT_LAYOUT_PLUGIN_DIR, pool_), "/srv/plugin");
}

// A task whose run loop spins until its terminate handler clears a flag.
struct Worker {
    std::atomic<bool> running{true};
    std::atomic<int> runs{0};
    std::atomic<int> started{0};
    std::atomic<int> finished{0};
};

using TaskTest = PoolTest;

TEST_F(TaskTest, RunsOnItsOwnThreadUntilTerminated) {
    Worker worker;
    apt_task_t* task = apt_task_create(&worker, nullptr, pool_);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(apt_task_object_get(task), &worker);
    apt_task_vtable_t* vtable = apt_task_vtable_get(task);
    vtable->run = [](apt_task_t* t) -> apt_bool_t {
        auto* w = static_cast<Worker*>(apt_task_object_get(t));
        w->runs++;
        while (w->running) {
            usleep(1000);
        }
        return TRUE;
    };
    vtable->terminate = [](apt_task_t* t) -> apt_bool_t {
        static_cast<Worker*>(apt_task_object_get(t))->running = false;
        return TRUE;
    };
    vtable->on_start_complete = [](apt_task_t* t) {
        static_cast<Worker*>(apt_task_object_get(t))->started++;
    };
    vtable->on_terminate_complete = [](apt_task_t* t) {
        static_cast<Worker*>(apt_task_object_get(t))->finished++;
    };
    EXPECT_FALSE(apt_task_terminate(task, TRUE));  // not started
    ASSERT_TRUE(apt_task_start(task));
    EXPECT_FALSE(apt_task_start(task));
    ASSERT_TRUE(apt_task_terminate(task, TRUE));
    EXPECT_EQ(worker.runs, 1);
    EXPECT_EQ(worker.started, 1);
    EXPECT_EQ(worker.finished, 1);
    EXPECT_FALSE(apt_task_terminate(task, TRUE));  // already ended
    EXPECT_TRUE(apt_task_destroy(task));
}

TEST_F(TaskTest, TaskWithoutRunHandlerWaitsForTerminate) {
    Worker worker;
    apt_task_t* task = apt_task_create(&worker, nullptr, pool_);
    apt_task_vtable_get(task)->on_terminate_complete = [](apt_task_t* t) {
        static_cast<Worker*>(apt_task_object_get(t))->finished++;
    };
    ASSERT_TRUE(apt_task_start(task));
    usleep(2000);
    EXPECT_EQ(worker.finished, 0);
    ASSERT_TRUE(apt_task_terminate(task, FALSE));
    EXPECT_TRUE(apt_task_wait_till_complete(task));
    EXPECT_EQ(worker.finished, 1);
    apt_task_destroy(task);
    // Destroying a running task terminates it first.
    task = apt_task_create(&worker, nullptr, pool_);
    ASSERT_TRUE(apt_task_start(task));
    EXPECT_TRUE(apt_task_destroy(task));
}

struct Captured {
    std::vector<std::string> lines;
};

void Capture(void* obj, const char*, int, const apt_log_source_t* source,
             apt_log_priority_e priority, const char* message) {
    static_cast<Captured*>(obj)->lines.push_back(std::string(apt_log_source_name_get(source)) +
                                                 "|" + apt_log_priority_name_get(priority) + "|" +
                                                 message);
}

using LogTest = PoolTest;

TEST_F(LogTest, PrioritiesTranslateByName) {
    const char* names[] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                           "WARNING",   "NOTICE", "INFO",     "DEBUG"};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(apt_log_priority_translate(names[i]), i);
    }
    EXPECT_EQ(apt_log_priority_translate("bogus"), APT_PRIO_DEBUG);
    EXPECT_EQ(apt_log_priority_translate(nullptr), APT_PRIO_DEBUG);
}

TEST_F(LogTest, SourcesFilterAndFileOutput) {
    char dir_template[] = "/tmp/ostrin-log-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    apt_logger_t* logger = apt_log_instance_create(APT_LOG_OUTPUT_FILE, APT_PRIO_INFO, pool_);
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(apt_log_instance_create(APT_LOG_OUTPUT_FILE, APT_PRIO_INFO, pool_), nullptr);
    EXPECT_TRUE(apt_log_instance_set(logger));
    ASSERT_TRUE(apt_log_file_open(dir_template, "ostrin.log", pool_));
    Captured captured;
    apt_log_handler_set(Capture, &captured);

    apt_log_source_t* plugin = nullptr;
    apt_log_source_t* again = nullptr;
    ASSERT_TRUE(apt_log_source_assign("ZEPH-PLUGIN", &plugin));
    ASSERT_TRUE(apt_log_source_assign("ZEPH-PLUGIN", &again));
    EXPECT_EQ(plugin, again);
    EXPECT_FALSE(apt_log_source_assign("", &again));

    EXPECT_TRUE(apt_log(plugin, APT_LOG_MARK, APT_PRIO_NOTICE, "Hello [%d]", 42));
    EXPECT_FALSE(apt_log(plugin, APT_LOG_MARK, APT_PRIO_DEBUG, "filtered"));
    apt_def_log_source_set(plugin);
    EXPECT_EQ(APT_LOG_SOURCE_DEFAULT, plugin);
    EXPECT_TRUE(
        apt_log(nullptr, APT_LOG_MARK, APT_PRIO_WARNING, "%s", std::string(5000, 'x').c_str()));
    apt_def_log_source_set(nullptr);
    EXPECT_STREQ(apt_log_source_name_get(APT_LOG_SOURCE_DEFAULT), "OSTRIN");

    // Concurrent writers never interleave inside a line.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([plugin, t] {
            for (int i = 0; i < 50; i++) {
                apt_log(plugin, APT_LOG_MARK, APT_PRIO_INFO, "thread %d line %d", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    apt_log_handler_set(nullptr, nullptr);
    apt_log_instance_destroy();

    ASSERT_GE(captured.lines.size(), 2u);
    EXPECT_EQ(captured.lines[0], "ZEPH-PLUGIN|NOTICE|Hello [42]");
    EXPECT_EQ(captured.lines[1].size(), strlen("ZEPH-PLUGIN|WARNING|") + 5000);
    EXPECT_EQ(captured.lines.size(), 2u + 200u);

    std::ifstream file(std::string(dir_template) + "/ostrin.log");
    std::string line;
    std::vector<std::string> lines;
    while (std::getline(file, line)) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 202u);
    // "YYYY-MM-DD hh:mm:ss.uuuuuu [NOTICE] [ZEPH-PLUGIN] Hello [42]"
    EXPECT_EQ(lines[0].size(), 26 + strlen(" [NOTICE] [ZEPH-PLUGIN] Hello [42]"));
    EXPECT_EQ(lines[0].substr(26), " [NOTICE] [ZEPH-PLUGIN] Hello [42]");
    EXPECT_EQ(lines[0][19], '.');
    for (size_t i = 2; i < lines.size(); i++) {
        EXPECT_NE(lines[i].find("[INFO] [ZEPH-PLUGIN] thread "), std::string::npos) << lines[i];
    }
    unlink((std::string(dir_template) + "/ostrin.log").c_str());
    rmdir(dir_template);
}

}  // namespace
