package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import java.io.IOException;
import java.lang.Win32Process;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Queue;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

// The process objects come from a test double of the runtime's Win32Process that
// records the real current directory at its construction.
class DirectoryLaunchTest {
    @TempDir
    Path temp;

    private String before;

    @BeforeEach
    void recordCurrentDirectory() throws IOException {
        Standin.reset();
        before = Win32Process.currentDirectory();
    }

    @AfterEach
    void restoreCurrentDirectory() {
        Standin.reset();
        assertTrue(Standin.setCurrentDirectory(before));
    }

    @Test
    void processStartsInTheDirectoryAndTheCurrentOneIsKept() throws IOException {
        Path dir = Files.createDirectory(temp.resolve("work")).toRealPath();
        String[] command = {"tool.exe", "-x"};
        String[] environment = {"A=1"};

        Win32Process p = assertInstanceOf(Win32Process.class,
                Executor.createProcessIn(dir.toString(), command, environment));
        assertEquals(dir.toString(), p.directory());
        assertSame(command, p.command());
        assertSame(environment, p.environment());
        assertEquals(before, Win32Process.currentDirectory());

        Win32Process inheriting = (Win32Process) Executor.createProcessIn(dir.toString(), command, null);
        assertNull(inheriting.environment());
    }

    private record Failure(String what, String directory, String[] command, Runnable setUp,
            Class<? extends Throwable> type, String message) {
    }

    @Test
    void failuresRaiseTheirExceptionAndLeaveTheCurrentDirectory() throws IOException {
        String dir = Files.createDirectory(temp.resolve("work")).toString();
        String[] one = {"tool.exe"};
        String[] none = {};
        Runnable nothing = () -> { };
        Failure[] failures = {
            new Failure("null directory", null, one, nothing, NullPointerException.class, null),
            new Failure("null directory, empty command", null, none, nothing, NullPointerException.class, null),
            new Failure("null command", dir, null, nothing, NullPointerException.class, null),
            new Failure("empty command", dir, none, nothing, ArrayIndexOutOfBoundsException.class, null),
            new Failure("unreadable current directory", dir, one, () -> Standin.failGetCurrentDirectory(true),
                    IOException.class, "Can't get current windows directory"),
            new Failure("missing directory", temp.resolve("missing").toString(), one, nothing,
                    IOException.class, "Can't set new path."),
            // No Windows text holds U+0000; cut there, the name would be an existing directory.
            new Failure("directory holding U+0000", dir + "\u0000missing", one, nothing,
                    IOException.class, "Can't set new path."),
            new Failure("constructor throws", dir, new String[] {"fail"}, nothing,
                    IOException.class, "Cannot run program \"fail\""),
        };
        for (Failure f : failures) {
            Standin.reset();
            f.setUp().run();
            Throwable e = assertThrows(f.type(), () -> Executor.createProcessIn(f.directory(), f.command(), null),
                    f.what());
            assertSame(f.type(), e.getClass(), f.what());
            assertEquals(f.message(), e.getMessage(), f.what());
            assertEquals(before, Win32Process.currentDirectory(), f.what());
        }
    }

    // The process was started, but its object is dropped; the VM stays in the
    // caller's directory.
    @Test
    void failedRestoreRaisesIllegalAccessError() throws IOException {
        Path dir = Files.createDirectory(temp.resolve("work")).toRealPath();
        Standin.failSetCurrentDirectory(1);

        IllegalAccessError e = assertThrows(IllegalAccessError.class,
                () -> Executor.createProcessIn(dir.toString(), new String[] {"tool.exe"}, null));
        assertEquals("Can't restore current windows directory.", e.getMessage());
        assertEquals(dir.toString(), Win32Process.currentDirectory());
    }

    @Test
    void relativeDirectoryIsTakenFromTheCurrentOne() throws IOException {
        Path base = Files.createDirectories(temp.resolve("base").resolve("sub")).getParent().toRealPath();
        assertTrue(Standin.setCurrentDirectory(base.toString()));

        Win32Process p = (Win32Process) Executor.createProcessIn("sub", new String[] {"tool.exe"}, null);
        assertEquals(base.resolve("sub").toString(), p.directory());
        assertEquals(base.toString(), Win32Process.currentDirectory());
    }

    // Names cross as text: each process starts in exactly the directory named, and
    // a current directory with such a name is restored exactly too.
    @Test
    void directoriesWithAnyNameAreEnteredAndRestored() throws IOException {
        Path home = Files.createDirectory(temp.resolve("日本")).toRealPath();
        assertTrue(Standin.setCurrentDirectory(home.toString()));
        for (String name : new String[] {"é", "ß", "Ж", "日本", "Données"}) {
            Path dir = Files.createDirectory(home.resolve(name)).toRealPath();
            Win32Process absolute = (Win32Process) Executor.createProcessIn(dir.toString(),
                    new String[] {"tool.exe"}, null);
            assertEquals(dir.toString(), absolute.directory(), name);
            Win32Process relative = (Win32Process) Executor.createProcessIn(name, new String[] {"tool.exe"}, null);
            assertEquals(dir.toString(), relative.directory(), name);
            assertEquals(home.toString(), Win32Process.currentDirectory(), name);
        }
    }

    // Calls are serialised: every process starts, and finishes starting, in its
    // own caller's directory.
    @Test
    void concurrentCallsEachStartInTheirOwnDirectory() throws Exception {
        int threads = 4;
        int callsPerThread = 25;
        List<Path> dirs = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            dirs.add(Files.createDirectory(temp.resolve("t" + t)).toRealPath());
        }
        Queue<String> wrong = new ConcurrentLinkedQueue<>();
        CountDownLatch start = new CountDownLatch(1);
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            List<Future<?>> done = new ArrayList<>();
            for (Path dir : dirs) {
                done.add(pool.submit(() -> {
                    start.await();
                    for (int c = 0; c < callsPerThread; c++) {
                        Win32Process p = (Win32Process) Executor.createProcessIn(dir.toString(),
                                new String[] {"tool.exe"}, null);
                        if (!dir.toString().equals(p.directory()) || !dir.toString().equals(p.directoryAtEnd())) {
                            wrong.add(dir + " saw " + p.directory() + " .. " + p.directoryAtEnd());
                        }
                    }
                    return null;
                }));
            }
            start.countDown();
            for (Future<?> f : done) {
                f.get(60, TimeUnit.SECONDS);
            }
        } finally {
            pool.shutdownNow();
        }
        assertEquals(List.of(), new ArrayList<>(wrong));
        assertEquals(before, Win32Process.currentDirectory());
    }
}
