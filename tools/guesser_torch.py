"""PyTorch twin of the guesser network, with parameter names matching the files."""
from __future__ import annotations

import numpy as np
import torch
from torch import nn

from .guesser_registry import DILATIONS, GROUPS, KERNEL, network_tensor_names


class ResidualBlock(nn.Module):
    def __init__(self, channels: int, dilation: int):
        super().__init__()
        padding = (KERNEL - 1) * dilation // 2
        self.conv1 = nn.Conv1d(channels, channels, KERNEL, padding=padding, dilation=dilation)
        self.norm1 = nn.GroupNorm(GROUPS, channels, eps=1e-5)
        self.conv2 = nn.Conv1d(channels, channels, KERNEL, padding=padding, dilation=dilation)
        self.norm2 = nn.GroupNorm(GROUPS, channels, eps=1e-5)
        self.act = nn.GELU(approximate="tanh")

    def forward(self, h):
        y = self.act(self.norm1(self.conv1(h)))
        y = self.norm2(self.conv2(y))
        return self.act(y + h)


class GuesserNet(nn.Module):
    """Stem conv, residual blocks, mean+max pooling with two scalars, MLP head."""

    def __init__(self, channels: int, n_params: int):
        super().__init__()
        self.stem = nn.Conv1d(3, channels, KERNEL, padding=(KERNEL - 1) // 2)
        self.blocks = nn.ModuleList(ResidualBlock(channels, d) for d in DILATIONS)
        hidden = 4 * channels
        self.head = nn.Sequential(
            nn.Linear(2 * channels + 2, hidden), nn.GELU(approximate="tanh"),
            nn.Linear(hidden, hidden), nn.GELU(approximate="tanh"),
            nn.Linear(hidden, 2 * n_params))

    def forward(self, x, scalars):
        h = self.stem(x)
        for block in self.blocks:
            h = block(h)
        pooled = torch.cat([h.mean(dim=2), h.amax(dim=2), scalars], dim=1)
        return self.head(pooled)


def export_weights(net: GuesserNet) -> dict[str, np.ndarray]:
    """The network's tensors under their file names ("w." + state-dict key)."""
    state = net.state_dict()
    return {name: state[name[2:]].detach().cpu().double().numpy()
            for name in network_tensor_names()}


def load_weights(net: GuesserNet, tensors: dict[str, np.ndarray]) -> None:
    """Copy file tensors (names starting with "w.") into the network."""
    state = {name[2:]: torch.from_numpy(np.asarray(tensors[name], dtype=np.float64))
             for name in network_tensor_names()}
    net.load_state_dict(state)
