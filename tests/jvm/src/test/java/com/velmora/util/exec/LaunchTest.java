package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
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
        assertEquals(0x410, Standin.launchFlags(0));  // a new console; the block is UTF-16
        assertFalse(Standin.launchInheritsHandles(0));
        assertTrue(Standin.launchUsesOwnStartupInfo(0));
        assertTrue(Standin.alive(pid));
        assertTrue(Standin.handleOpen(Standin.launchProcessHandle(0)));
        assertTrue(Standin.handleOpen(Standin.launchThreadHandle(0)));
    }

    // Every assertion about how launch texts reach the platform lives here: the
    // Java text itself, through the UTF-16 call; the environment string as the
    // one entry of a UTF-16 block closed by a second zero character, announced
    // by CREATE_UNICODE_ENVIRONMENT (0x400) beside CREATE_NEW_CONSOLE (0x10).
    @Test
    void launchTextsReachThePlatformAsUtf16Text() {
        String[] texts = {"tool.exe", "", "é", "ß", "Ж", "日本", "C:\\Users\\José\\tool.exe", "D:\\Données",
            "GREETING=Grüße", "smile \uD83D\uDE00"};
        for (int i = 0; i < texts.length; i++) {
            String t = texts[i];
            assertNotEquals(0, ScriptProcessManager.executeProcess(t, t, t, t), t);
            assertTrue(Standin.launchWide(i), t);
            assertEquals(t, Standin.launchApplicationText(i), t);
            assertEquals(t, Standin.launchCommandLineText(i), t);
            assertEquals(t, Standin.launchDirectoryText(i), t);
            assertArrayEquals(block(t), Standin.launchEnvironmentBlock(i), t);
            assertEquals(0x410, Standin.launchFlags(i), t);
        }

        // A lone surrogate is a Windows text too, and reaches the block unchanged.
        int lone = texts.length;
        String unpaired = "A=\uD800 \uDFFF";
        assertNotEquals(0, ScriptProcessManager.executeProcess(null, "tool.exe", unpaired, null));
        assertArrayEquals(block(unpaired), Standin.launchEnvironmentBlock(lone));

        // Null strings reach the platform as null; no block, no Unicode flag.
        int last = lone + 1;
        assertNotEquals(0, ScriptProcessManager.executeProcess(null, "tool.exe", null, null));
        assertNull(Standin.launchApplicationText(last));
        assertNull(Standin.launchEnvironmentBlock(last));
        assertNull(Standin.launchDirectoryText(last));
        assertEquals(0x10, Standin.launchFlags(last));
        assertNotEquals(0, ScriptProcessManager.executeProcess("tool.exe", null, null, null));
        assertNull(Standin.launchCommandLineText(last + 1));
    }

    // No Windows text holds U+0000: such a string launches nothing, in any place,
    // and raises nothing. (Cut at the U+0000, an environment "A=1\0B=2" would
    // otherwise smuggle in a second entry.)
    @Test
    void textHoldingU0000LaunchesNothing() {
        String[][] calls = {
            {"C:\\bin\u0000\\tool.exe", "tool.exe", "A=1", "C:\\work"},
            {null, "tool.exe\u0000 -x", "A=1", "C:\\work"},
            {null, "tool.exe", "A=1\u0000B=2", "C:\\work"},
            {null, "tool.exe", "A=1", "C:\\work\u0000"},
            {"\u0000", "\u0000", "\u0000", "\u0000"},
        };
        for (String[] c : calls) {
            assertEquals(0, ScriptProcessManager.executeProcess(c[0], c[1], c[2], c[3]), Arrays.toString(c));
        }
        assertEquals(0, Standin.launchCount());
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

    // The UTF-16 code units of the entry, little-endian, then two zero characters.
    // (Not String.getBytes, which would replace a lone surrogate.)
    private static byte[] block(String entry) {
        byte[] out = new byte[(entry.length() + 2) * 2];
        for (int i = 0; i < entry.length(); i++) {
            out[2 * i] = (byte) entry.charAt(i);
            out[2 * i + 1] = (byte) (entry.charAt(i) >> 8);
        }
        return out;
    }
}
