package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.util.Arrays;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class LaunchTest {
    @BeforeEach
    void freshSystem() {
        Standin.reset();
    }

    @Test
    void launchStartsOneProcessWithItsOwnConsoleAndKeepsItsHandles() {
        int pid = ScriptProcessManager.executeProcess("C:\\bin\\tool.exe", "tool.exe -x", "A=1", "C:\\work");

        assertNotEquals(0, pid);
        assertEquals(1, Standin.launchCount());
        assertEquals(pid, Standin.launchPid(0));
        assertEquals(0x10, Standin.launchFlags(0));
        assertFalse(Standin.launchInheritsHandles(0));
        assertTrue(Standin.launchUsesOwnStartupInfo(0));
        assertTrue(Standin.alive(pid));
        assertTrue(Standin.handleOpen(Standin.launchProcessHandle(0)));
        assertTrue(Standin.handleOpen(Standin.launchThreadHandle(0)));
    }

    // Every assertion about how launch texts reach the platform lives here.
    // Today: the modified UTF-8 bytes of each Java string, unconverted, through
    // the narrow call; the environment string as one entry closed by a second NUL.
    @Test
    void launchTextsReachThePlatformAsModifiedUtf8Bytes() throws IOException {
        String[] texts = {"tool.exe", "", "caf\u00e9 \u65e5\u672c", "smile \uD83D\uDE00", "nul\u0000inside"};
        for (int i = 0; i < texts.length; i++) {
            String t = texts[i];
            assertNotEquals(0, ScriptProcessManager.executeProcess(t, t, t, t), t);
            byte[] bytes = modifiedUtf8(t);
            assertFalse(Standin.launchWide(i), t);
            assertArrayEquals(bytes, Standin.launchApplication(i), t);
            assertArrayEquals(bytes, Standin.launchCommandLine(i), t);
            assertArrayEquals(bytes, Standin.launchDirectory(i), t);
            byte[] block = Arrays.copyOf(bytes, bytes.length + 2);
            assertArrayEquals(block, Standin.launchEnvironmentBlock(i), t);
        }

        int last = texts.length;
        assertNotEquals(0, ScriptProcessManager.executeProcess(null, "tool.exe", null, null));
        assertNull(Standin.launchApplication(last));
        assertNull(Standin.launchEnvironmentBlock(last));
        assertNull(Standin.launchDirectory(last));
        assertNotEquals(0, ScriptProcessManager.executeProcess("tool.exe", null, null, null));
        assertNull(Standin.launchCommandLine(last + 1));
    }

    @Test
    void failedLaunchGivesZero() {
        Standin.failLaunches(2);
        assertEquals(0, ScriptProcessManager.executeProcess(null, "missing.exe", null, null));
        assertEquals(1, Standin.launchCount());
    }

    @Test
    void initMayBeCalledAnyNumberOfTimes() {
        assertEquals(0, Standin.backendMode());
        for (int i = 0; i < 3; i++) {
            ScriptProcessManager.init();
            assertEquals(1, Standin.backendMode());
        }
        int pid = ScriptProcessManager.executeProcess(null, "tool.exe", null, null);
        assertEquals(0, ScriptProcessManager.childProcessesCount(pid));
    }

    @Test
    void launchAndKillWorkBeforeInit() {
        int pid = ScriptProcessManager.executeProcess(null, "tool.exe", null, null);
        assertNotEquals(0, pid);
        assertEquals(0, Standin.backendMode());

        assertEquals(0, ScriptProcessManager.killProcess(pid));
        assertFalse(Standin.alive(pid));
        assertEquals(0, Standin.exitCode(pid));
    }

    @Test
    void killOfAnIdThatNamesNoProcessGivesMinusOne() {
        int[] ids = {0x7FFF_FFF0, 0, -4};
        for (int id : ids) {
            assertEquals(-1, ScriptProcessManager.killProcess(id), "id " + id);
        }
        assertEquals(0, Standin.terminations().length);
    }

    private static byte[] modifiedUtf8(String s) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        new DataOutputStream(out).writeUTF(s);
        byte[] withLength = out.toByteArray();
        return Arrays.copyOfRange(withLength, 2, withLength.length);
    }
}
