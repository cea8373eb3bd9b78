// Windows on a Linux desktop: the message loop waits in GLib's main loop, so GTK's events, Unix
// signals and our window timers are served by one thread; a GTK window shows each of our windows.
#include "platform/portable/user32/desktop.h"

#include "platform/portable/gdi32/cairo/text_run.h"
#include "platform/portable/gdi32/codepages.h"
#include "platform/portable/gdi32/freetype/freetype_fonts.h"
#include "platform/portable/user32/window_state.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <glib-unix.h>
#include <gtk/gtk.h>

namespace zvp {

namespace {

std::string utf8(const std::string& cp1250) {
    return to_utf8(cp1250, 1250);
}

// GTK writes the access key with '_' where Windows writes '&'.
std::string gtk_label(const std::string& text) {
    std::string out;
    for (char c : utf8(text)) {
        if (c == '_')
            out += "__";
        else if (c == '&')
            out += '_';
        else
            out += c;
    }
    return out;
}

gboolean on_close_signal(gpointer) {
    if (Window* w = main_window())
        PostMessageA(w->handle, WM_CLOSE, 0, 0);
    else
        PostQuitMessage(0);
    return G_SOURCE_CONTINUE;
}

// SIGHUP, as daemons take it: the settings changed and are read again.
gboolean on_settings_signal(gpointer) {
    if (Window* w = main_window())
        PostMessageA(w->handle, WM_SETTINGCHANGE, 0, 0);
    return G_SOURCE_CONTINUE;
}

// SIGUSR1 chooses the command the application added to the main window's system menu, as a
// click on it would.
gboolean on_print_signal(gpointer) {
    Window* w = main_window();
    if (!w)
        return G_SOURCE_CONTINUE;
    for (const MenuItem& item : w->system_menu)
        if (!(item.flags & MF_SEPARATOR)) {
            PostMessageA(w->handle, WM_SYSCOMMAND, item.id, 0);
            break;
        }
    return G_SOURCE_CONTINUE;
}

class GlibBackend : public WindowBackend {
  public:
    GlibBackend() {
        for (int sig : {SIGTERM, SIGINT})
            g_unix_signal_add(sig, on_close_signal, nullptr);
        g_unix_signal_add(SIGHUP, on_settings_signal, nullptr);
        g_unix_signal_add(SIGUSR1, on_print_signal, nullptr);
    }

    void wait(int timeout_ms) override {
        guint timeout = 0;
        if (timeout_ms >= 0)
            timeout = g_timeout_add(static_cast<guint>(timeout_ms), on_timeout, &timeout);
        g_main_context_iteration(nullptr, TRUE);
        if (timeout)
            g_source_remove(timeout);
    }

    void wake() override { g_main_context_wakeup(nullptr); }

    int message_box(Window*, const std::string& text, const std::string& caption, UINT) override {
        std::fprintf(stderr, "%s: %s\n", utf8(caption).c_str(), utf8(text).c_str());
        return IDOK;
    }

  private:
    static gboolean on_timeout(gpointer source) {
        *static_cast<guint*>(source) = 0;
        return G_SOURCE_REMOVE;
    }
};

// A window's client area while GTK draws it: Cairo in widget pixels, the screen's logical
// resolution and the monitor's size.
class WindowDevice : public Device {
  public:
    WindowDevice(cairo_t* cr, GtkWidget* widget) : cr_(cr) {
        GdkScreen* screen = gtk_widget_get_screen(widget);
        double dpi = gdk_screen_get_resolution(screen);
        caps_.logpixelsx = caps_.logpixelsy = dpi > 0 ? static_cast<int>(std::lround(dpi)) : 96;
        GdkMonitor* monitor = gdk_display_get_monitor_at_window(gtk_widget_get_display(widget),
                                                                gtk_widget_get_window(widget));
        GdkRectangle area{0, 0, 1024, 768};
        int width_mm = 0, height_mm = 0;
        if (monitor) {
            gdk_monitor_get_geometry(monitor, &area);
            width_mm = gdk_monitor_get_width_mm(monitor);
            height_mm = gdk_monitor_get_height_mm(monitor);
        }
        caps_.horzres = area.width;
        caps_.vertres = area.height;
        caps_.horzsize = width_mm > 0 ? width_mm : static_cast<int>(area.width * 25.4 / 96);
        caps_.vertsize = height_mm > 0 ? height_mm : static_cast<int>(area.height * 25.4 / 96);
        caps_.printer = false;
        width_ = gtk_widget_get_allocated_width(widget);
        height_ = gtk_widget_get_allocated_height(widget);
    }
    const DeviceCaps& caps() const override { return caps_; }
    FontEngine& font_engine() override { return freetype_font_engine(); }
    bool draw_text(const TextRun& run) override {
        draw_text_run(cr_, run, width_, height_);
        return true;
    }

  private:
    cairo_t* cr_;
    DeviceCaps caps_;
    int width_ = 0, height_ = 0;
};

struct NativeWindow {
    GtkWidget* window = nullptr;
    GObject* icon = nullptr; // its status icon, where it has one
    GtkWidget* area = nullptr;
    cairo_t* drawing = nullptr;
    HWND handle = nullptr;
};

// A click on the status icon, told to the window as Windows tells it.
void on_icon_click(GtkStatusIcon*, gpointer data) {
    auto* n = static_cast<NativeWindow*>(data);
    Window* w = find_window(n->handle);
    if (w && w->icon_message)
        PostMessageA(n->handle, w->icon_message, 1, WM_LBUTTONUP);
}

class GtkBackend : public GlibBackend {
  public:
    bool shows_windows() const override { return true; }

    void created(Window& w) override {
        auto* n = new NativeWindow;
        n->handle = w.handle;
        n->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        gtk_window_set_title(GTK_WINDOW(n->window), utf8(w.title).c_str());
        // CW_USEDEFAULT: room for the font sample and, below it, a dozen lines of the
        // program's own.
        gtk_window_set_default_size(GTK_WINDOW(n->window), 800, 420);
        n->area = gtk_drawing_area_new();
        gtk_widget_add_events(n->area, GDK_BUTTON_PRESS_MASK);
        gtk_container_add(GTK_CONTAINER(n->window), n->area);
        g_signal_connect(n->area, "draw", G_CALLBACK(on_draw), n);
        g_signal_connect(n->area, "button-press-event", G_CALLBACK(on_button), n);
        g_signal_connect(n->window, "delete-event", G_CALLBACK(on_delete), n);
        w.native = n;
    }

    void destroyed(Window& w) override {
        auto* n = static_cast<NativeWindow*>(w.native);
        if (!n)
            return;
        if (n->icon)
            g_object_unref(n->icon);
        gtk_widget_destroy(n->window);
        delete n;
        w.native = nullptr;
    }

    void show(Window& w, int show) override {
        auto* n = static_cast<NativeWindow*>(w.native);
        if (!n)
            return;
        GtkWindow* window = GTK_WINDOW(n->window);
        switch (show) {
        case SW_HIDE: gtk_widget_hide(n->window); return;
        case SW_SHOWMINNOACTIVE:
        case SW_SHOWMINIMIZED:
            // Shown on the task bar, minimised, without taking the focus.
            gtk_window_set_focus_on_map(window, FALSE);
            gtk_window_iconify(window);
            gtk_widget_show_all(n->window);
            return;
        default:
            gtk_widget_show_all(n->window);
            gtk_window_deiconify(window);
            gtk_window_present(window);
        }
    }

    void invalidate(Window& w) override {
        if (auto* n = static_cast<NativeWindow*>(w.native))
            gtk_widget_queue_draw(n->area);
    }

    void flash(Window& w, bool on) override {
        if (auto* n = static_cast<NativeWindow*>(w.native))
            gtk_window_set_urgency_hint(GTK_WINDOW(n->window), on ? TRUE : FALSE);
    }

    // The freedesktop notification service on the session bus; the call is not waited for.
    bool notify(const std::string& title, const std::string& text) override {
        GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        if (!bus)
            return false;
        const gchar* no_actions[] = {nullptr};
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
        g_dbus_connection_call(
            bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
            "org.freedesktop.Notifications", "Notify",
            g_variant_new("(susss^asa{sv}i)", "zvspool", 0u, "zvspool", utf8(title).c_str(),
                          utf8(text).c_str(), no_actions, &hints, -1),
            nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
        g_dbus_connection_flush_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
        return true;
    }

    void status_icon(Window& w, bool shown, const std::string& tip, UINT message) override {
        auto* n = static_cast<NativeWindow*>(w.native);
        if (!n)
            return;
        // The status icon is the only one GTK 3 has for the trays of XEmbed desktops (XFCE,
        // MATE, LXDE; GNOME with its extension); elsewhere it is not shown, and costs nothing.
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        if (!shown) {
            if (n->icon)
                g_object_unref(n->icon);
            n->icon = nullptr;
        } else {
            if (!n->icon) {
                GtkStatusIcon* icon = gtk_status_icon_new_from_icon_name("zvspool");
                g_signal_connect(icon, "activate", G_CALLBACK(on_icon_click), n);
                n->icon = G_OBJECT(icon);
            }
            gtk_status_icon_set_tooltip_text(GTK_STATUS_ICON(n->icon), utf8(tip).c_str());
            gtk_status_icon_set_title(GTK_STATUS_ICON(n->icon), "zvspool");
        }
        G_GNUC_END_IGNORE_DEPRECATIONS
        w.icon_message = message;
    }

    void client_size(Window& w, int& width, int& height) override {
        auto* n = static_cast<NativeWindow*>(w.native);
        width = n && n->area ? gtk_widget_get_allocated_width(n->area) : 0;
        height = n && n->area ? gtk_widget_get_allocated_height(n->area) : 0;
    }

    std::shared_ptr<Device> paint_device(Window& w) override {
        auto* n = static_cast<NativeWindow*>(w.native);
        if (!n || !n->drawing)
            return nullptr;
        return std::make_shared<WindowDevice>(n->drawing, n->area);
    }

    int message_box(Window* owner, const std::string& text, const std::string& caption,
                    UINT type) override {
        GtkWindow* parent = nullptr;
        if (owner && owner->native)
            parent = GTK_WINDOW(static_cast<NativeWindow*>(owner->native)->window);
        GtkMessageType kind = (type & 0xF0) == MB_ICONEXCLAMATION ? GTK_MESSAGE_WARNING
                              : (type & 0xF0) == MB_ICONHAND      ? GTK_MESSAGE_ERROR
                                                                  : GTK_MESSAGE_INFO;
        GtkWidget* dialog = gtk_message_dialog_new(parent, GTK_DIALOG_MODAL, kind, GTK_BUTTONS_OK,
                                                   "%s", utf8(text).c_str());
        gtk_window_set_title(GTK_WINDOW(dialog), utf8(caption).c_str());
        // The dialog's own loop goes on serving our messages and timers, as a modal loop does.
        guint pump = g_timeout_add(50, on_pump, nullptr);
        gtk_dialog_run(GTK_DIALOG(dialog));
        g_source_remove(pump);
        gtk_widget_destroy(dialog);
        return IDOK;
    }

  private:
    static gboolean on_pump(gpointer) {
        dispatch_waiting_messages();
        return G_SOURCE_CONTINUE;
    }

    static gboolean on_draw(GtkWidget*, cairo_t* cr, gpointer data) {
        auto* n = static_cast<NativeWindow*>(data);
        Window* w = find_window(n->handle);
        if (!w)
            return FALSE;
        COLORREF bg = w->background;
        cairo_set_source_rgb(cr, (bg & 0xFF) / 255.0, ((bg >> 8) & 0xFF) / 255.0,
                             ((bg >> 16) & 0xFF) / 255.0);
        cairo_paint(cr);
        n->drawing = cr;
        SendMessageA(n->handle, WM_PAINT, 0, 0);
        n->drawing = nullptr;
        return TRUE;
    }

    static void on_menu_item(GtkMenuItem* item, gpointer data) {
        auto id = static_cast<WPARAM>(
            reinterpret_cast<uintptr_t>(g_object_get_data(G_OBJECT(item), "zv-command")));
        PostMessageA(static_cast<NativeWindow*>(data)->handle, WM_SYSCOMMAND, id, 0);
    }

    static void add_item(GtkWidget* menu, NativeWindow* n, const MenuItem& item) {
        GtkWidget* entry = (item.flags & MF_SEPARATOR)
                               ? gtk_separator_menu_item_new()
                               : gtk_menu_item_new_with_mnemonic(gtk_label(item.text).c_str());
        if (!(item.flags & MF_SEPARATOR)) {
            g_object_set_data(G_OBJECT(entry), "zv-command",
                              reinterpret_cast<gpointer>(static_cast<uintptr_t>(item.id)));
            g_signal_connect(entry, "activate", G_CALLBACK(on_menu_item), n);
        }
        gtk_menu_shell_append(GTK_MENU_SHELL(menu), entry);
    }

    static void on_menu_closed(GtkWidget* menu, gpointer) {
        g_idle_add(
            [](gpointer m) {
                gtk_widget_destroy(GTK_WIDGET(m));
                return G_SOURCE_REMOVE;
            },
            menu);
    }

    // A right click opens the window's system menu: the standard commands, then the window's own.
    static gboolean on_button(GtkWidget*, GdkEventButton* event, gpointer data) {
        auto* n = static_cast<NativeWindow*>(data);
        Window* w = find_window(n->handle);
        if (!w || event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_SECONDARY)
            return FALSE;
        GtkWidget* menu = gtk_menu_new();
        // "Restore", "Minimise", "Close" in code page 1250.
        for (const MenuItem& item :
             {MenuItem{0, SC_RESTORE, "&Przywr\xF3\xE6"}, MenuItem{0, SC_MINIMIZE, "&Minimalizuj"},
              MenuItem{MF_SEPARATOR, 0, ""}, MenuItem{0, SC_CLOSE, "&Zamknij"}})
            add_item(menu, n, item);
        for (const MenuItem& item : w->system_menu)
            add_item(menu, n, item);
        gtk_widget_show_all(menu);
        // Destroyed once the chosen item has been activated.
        g_signal_connect(menu, "deactivate", G_CALLBACK(on_menu_closed), nullptr);
        gtk_menu_popup_at_pointer(GTK_MENU(menu), reinterpret_cast<GdkEvent*>(event));
        return TRUE;
    }

    // The window manager's close button is the system menu's Close.
    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer data) {
        PostMessageA(static_cast<NativeWindow*>(data)->handle, WM_SYSCOMMAND, SC_CLOSE, 0);
        return TRUE;
    }
};

} // namespace

bool use_desktop(int* argc, char*** argv) {
    bool display = gtk_init_check(argc, argv);
    if (display) {
        // The icon installed into the hicolor theme; the title bar and task switcher show it.
        gtk_window_set_default_icon_name("zvspool");
        set_window_backend(std::make_shared<GtkBackend>());
    } else {
        set_window_backend(std::make_shared<GlibBackend>());
    }
    return display;
}

} // namespace zvp
