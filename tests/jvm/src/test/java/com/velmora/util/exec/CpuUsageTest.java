package com.velmora.util.exec;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.velmora.util.exec.testing.Standin;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

class CpuUsageTest {
    @BeforeEach
    void freshSystem() {
        Standin.reset();
    }

    @Test
    void minusOneBeforeInit() {
        assertEquals(-1, ScriptProcessManager.getCPUUsage());
    }

    // The model's idle time advances by one processor's share of each interval,
    // so p processors are busy (p - 1) / p of the time.
    @Test
    void usageAfterInit() {
        ScriptProcessManager.init();
        int[][] cases = {{1, 0}, {2, 50}, {4, 75}};
        for (int[] c : cases) {
            Standin.setProcessors(c[0]);
            assertEquals(c[1], ScriptProcessManager.getCPUUsage(), c[0] + " processors");
        }
        assertTrue(Standin.sleeps() > 0);
    }
}
